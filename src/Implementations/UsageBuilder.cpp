#include "Implementations/UsageBuilder.h"

#include <chrono>
#include <limits>

namespace ulvarend {

UsageBuilder::UsageBuilder(std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler_,
                           std::shared_ptr<SettingsProtocol> settings_)
    : dateTimeHandler(std::move(dateTimeHandler_)), settings(std::move(settings_)) {}

// The reads below keep the order in which the settings and the clock are asked, so that a
// record's fields all describe the same moment as closely as the settings allow.

std::shared_ptr<DeviceUsage> UsageBuilder::buildDeviceUsage(EventType eventType) {
    auto model = settings->deviceModelName();
    const auto now = dateTimeHandler->now();
    auto participant = settings->participantIdentifier();
    const auto count = settings->userCount();
    return std::make_shared<DeviceUsage>(std::move(participant), std::move(model), now, count,
                                         eventTypeValue(eventType));
}

std::shared_ptr<DeviceUsage> UsageBuilder::buildDeviceUsage(EventType eventType,
                                                            const std::string& user) {
    auto participant = settings->participantIdentifier(user);
    const auto now = dateTimeHandler->now();
    auto model = settings->deviceModelName();
    const auto count = settings->userCount();
    return std::make_shared<DeviceUsage>(std::move(participant), std::move(model), now, count,
                                         eventTypeValue(eventType));
}

std::shared_ptr<AppUsage> UsageBuilder::buildAppUsage(const ActiveWindow& activeWindow) {
    auto model = settings->deviceModelName();
    const auto now = dateTimeHandler->now();
    auto participant = settings->participantIdentifier();
    const auto duration = durationMilliseconds(activeWindow);
    const auto count = settings->userCount();
    return std::make_shared<AppUsage>(std::move(participant), std::move(model), now, count,
                                      activeWindow.bundleIdentifier, duration);
}

std::int64_t UsageBuilder::durationMilliseconds(const ActiveWindow& activeWindow) {
    if (!activeWindow.endTime) {
        return 0;
    }
    // Clock ticks are subtracted as integers first: near the ends of the clock's range the
    // difference does not fit, and then the sign alone decides.
    TimePoint::rep ticks = 0;
    if (__builtin_sub_overflow(activeWindow.endTime->time_since_epoch().count(),
                               activeWindow.startTime.time_since_epoch().count(), &ticks)) {
        return *activeWindow.endTime > activeWindow.startTime
                   ? std::numeric_limits<std::int64_t>::max()
                   : 0;
    }
    if (ticks <= 0) {
        return 0;
    }
    // Integer arithmetic: in floating point 1.001 s comes out as 1000.999... ms. A count of
    // clock ticks converted to whole milliseconds always fits the 64-bit result.
    return std::chrono::duration_cast<std::chrono::milliseconds>(TimePoint::duration{ticks})
        .count();
}

} // namespace ulvarend
