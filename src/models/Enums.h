#pragma once

#include <cstdint>
#include <string_view>

namespace ulvarend {

// What a device usage reports. Numbered as the collection server and the store expect it:
// started is 1, ended is 0.
enum class EventType { started, ended };

constexpr std::int64_t eventTypeValue(EventType type) {
    return type == EventType::started ? 1 : 0;
}

// Which collection endpoint a record goes to.
enum class UsageType { app, device };

constexpr std::string_view endpointPath(UsageType type) {
    return type == UsageType::app ? "/v1/app_usages" : "/v1/device_usages";
}

// Which trackers run. Stored as 1 for AppAndDevice and 0 for Device.
enum class TrackingType { AppAndDevice, Device };

// The outcome a usage log line names.
enum class UsageLogType { sentDirectly, sentFromPersistence, saved };

} // namespace ulvarend
