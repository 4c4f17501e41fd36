#pragma once

#include "interfaces/TrackerProtocol.h"

namespace ulvarend {

// Main thread only.
class DeviceTrackerProtocol : public TrackerProtocol {
public:
    // Ends the member's session with an "ended" record for the member it was started for, and
    // only when one is open: a session that the screens' sleep already ended is not ended
    // twice. For quitting, the end of the period, and a link that changes who is recorded.
    virtual void endSession() = 0;
};

} // namespace ulvarend
