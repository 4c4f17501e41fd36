#pragma once

#include "platform/ErrorReporter.h"

#include <filesystem>
#include <memory>

namespace ulvarend::platform {

// Whether the desktop starts the agent when the user logs in. Failures are reported, never
// thrown: switching the login item off happens on the way out of the process.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    // Whether the change reached the disk.
    virtual bool setEnabled(bool enabled) = 0;
};

// The XDG autostart entry $XDG_CONFIG_HOME/autostart/ulvarend.desktop, starting the running
// executable.
std::shared_ptr<LoginItem> makeLoginItem(ErrorReporter reportError);

// An autostart entry at `entryFile` that starts `executable`.
std::shared_ptr<LoginItem> makeLoginItem(const std::filesystem::path& entryFile,
                                         const std::filesystem::path& executable,
                                         ErrorReporter reportError);

} // namespace ulvarend::platform
