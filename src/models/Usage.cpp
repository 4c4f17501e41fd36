#include "models/Usage.h"

#include <utility>

namespace ulvarend {

Usage::Usage(std::string participantIdentifier_, std::string deviceModelName_, TimePoint timeStamp_,
             std::int64_t userCount_, std::optional<std::int64_t> id_)
    : participantIdentifier(std::move(participantIdentifier_)),
      deviceModelName(std::move(deviceModelName_)), userCount(userCount_), id(id_),
      timeStamp(timeStamp_) {}

void Usage::encode(nlohmann::ordered_json& object) const {
    object["participant_identifier"] = participantIdentifier;
    object["device_model_name"] = deviceModelName;
    object["user_count"] = userCount;
}

AppUsage::AppUsage(std::string participantIdentifier_, std::string deviceModelName_,
                   TimePoint timeStamp_, std::int64_t userCount_, std::string package_,
                   std::int64_t duration_, std::optional<std::int64_t> id_)
    : Usage(std::move(participantIdentifier_), std::move(deviceModelName_), timeStamp_, userCount_,
            id_),
      package(std::move(package_)), duration(duration_) {}

void AppUsage::encode(nlohmann::ordered_json& object) const {
    Usage::encode(object);
    object["date"] = formatRfc3339(timeStamp);
    object["package"] = package;
    object["duration"] = duration;
}

DeviceUsage::DeviceUsage(std::string participantIdentifier_, std::string deviceModelName_,
                         TimePoint timeStamp_, std::int64_t userCount_, std::int64_t eventType_,
                         std::optional<std::int64_t> id_)
    : Usage(std::move(participantIdentifier_), std::move(deviceModelName_), timeStamp_, userCount_,
            id_),
      eventType(eventType_) {}

void DeviceUsage::encode(nlohmann::ordered_json& object) const {
    Usage::encode(object);
    object["timestamp"] = formatRfc3339(timeStamp);
    object["event_type"] = eventType;
}

std::string toJson(const Usage& usage) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    usage.encode(object);
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

UsageType usageTypeOf(const Usage& usage) {
    return dynamic_cast<const DeviceUsage*>(&usage) != nullptr ? UsageType::device : UsageType::app;
}

} // namespace ulvarend
