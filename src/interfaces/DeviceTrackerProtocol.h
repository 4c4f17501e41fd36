#pragma once

#include "interfaces/TrackerProtocol.h"

namespace ulvarend {

class DeviceTrackerProtocol : public TrackerProtocol {};

} // namespace ulvarend
