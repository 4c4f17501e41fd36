#pragma once

#include "interfaces/ActiveWindow.h"
#include "models/Enums.h"
#include "models/Usage.h"

#include <memory>
#include <string>

namespace ulvarend {

class UsageBuilderProtocol {
public:
    virtual ~UsageBuilderProtocol() = default;
    // For the currently selected user.
    virtual std::shared_ptr<DeviceUsage> buildDeviceUsage(EventType eventType) = 0;
    virtual std::shared_ptr<DeviceUsage> buildDeviceUsage(EventType eventType,
                                                          const std::string& user) = 0;
    virtual std::shared_ptr<AppUsage> buildAppUsage(const ActiveWindow& activeWindow) = 0;
};

} // namespace ulvarend
