#pragma once

#include "interfaces/TrackerProtocol.h"

namespace ulvarend {

class AppTrackerProtocol : public TrackerProtocol {
public:
    // Follows the network and asks for batches of stored records as `start()` does, without
    // looking at applications: a household tracked for device sessions only still needs what
    // was stored while offline to be sent.
    // Also stops looking at applications after a `start()`; the session open then is dropped.
    virtual void startDeliveryOnly() = 0;

    enum class AfterClosing { keepTracking, stopTracking };
    // Ends the session of the application in front now and delivers it as a poll would: the
    // agent is quitting, or the measurement is over.
    virtual void closeOpenSession(AfterClosing after) = 0;

    // Ends the running loop after its current poll and starts no other, so that the process
    // can quit in order. On the way out, from whichever thread quits.
    virtual void stop() = 0;
};

} // namespace ulvarend
