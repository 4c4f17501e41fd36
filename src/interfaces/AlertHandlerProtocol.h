#pragma once

#include <string>

namespace ulvarend {

// Every operation runs on the main thread and blocks until its alert has closed.
class AlertHandlerProtocol {
public:
    virtual ~AlertHandlerProtocol() = default;
    // True only when the person answered that someone else is at the computer.
    virtual bool showCurrentUserAlert(const std::string& user) = 0;
    virtual void showTrackingPeriodEndedAlert() = 0;
    virtual void showSetupMissingAlert() = 0;
    // A later start of the program found the agent running but could not hand it the link, or
    // the wish to see the user window: started from a browser or the application menu, nobody
    // would read why on standard error.
    virtual void showAgentUnreachableAlert() = 0;
};

} // namespace ulvarend
