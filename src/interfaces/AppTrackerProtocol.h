#pragma once

#include "interfaces/TrackerProtocol.h"

namespace ulvarend {

class AppTrackerProtocol : public TrackerProtocol {
public:
    // Follows the network and asks for batches of stored records as `start()` does, without
    // looking at applications: a household tracked for device sessions only still needs what
    // was stored while offline to be sent.
    virtual void startDeliveryOnly() = 0;
};

} // namespace ulvarend
