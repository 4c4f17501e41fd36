#pragma once

#include "interfaces/DateTimeHandlerProtocol.h"
#include "interfaces/SettingsProtocol.h"
#include "interfaces/UsageBuilderProtocol.h"

#include <cstdint>
#include <memory>

namespace ulvarend {

class UsageBuilder final : public UsageBuilderProtocol {
public:
    UsageBuilder(std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler,
                 std::shared_ptr<SettingsProtocol> settings);

    std::shared_ptr<DeviceUsage> buildDeviceUsage(EventType eventType) override;
    std::shared_ptr<DeviceUsage> buildDeviceUsage(EventType eventType,
                                                  const std::string& user) override;
    std::shared_ptr<AppUsage> buildAppUsage(const ActiveWindow& activeWindow) override;

    // Whole milliseconds of a session, truncated toward zero. A session that ends before it
    // starts (the clock was set back) lasts 0 ms, and one too long to count is clamped.
    static std::int64_t durationMilliseconds(const ActiveWindow& activeWindow);

private:
    std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler;
    std::shared_ptr<SettingsProtocol> settings;
};

} // namespace ulvarend
