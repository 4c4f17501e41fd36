#include "models/Usage.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

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

namespace {

// The key lists are those encode() writes; a body is read against them so that the two forms
// cannot drift apart unnoticed.
std::vector<std::string> keysOf(const Usage& usage) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    usage.encode(object);
    std::vector<std::string> keys;
    for (const auto& item : object.items()) {
        keys.push_back(item.key());
    }
    return keys;
}

bool fail(std::string* whyNot, std::string reason) {
    if (whyNot != nullptr) {
        *whyNot = std::move(reason);
    }
    return false;
}

bool readText(const nlohmann::json& object, const char* key, std::string& into,
              std::string* whyNot) {
    const auto& value = object.at(key);
    if (!value.is_string()) {
        return fail(whyNot, std::string("\"") + key + "\" is not a string");
    }
    into = value.get<std::string>();
    return true;
}

bool readInteger(const nlohmann::json& object, const char* key, std::int64_t& into,
                 std::string* whyNot) {
    const auto& value = object.at(key);
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        into = value.get<std::int64_t>();
        return true;
    }
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() <=
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        into = static_cast<std::int64_t>(value.get<std::uint64_t>());
        return true;
    }
    return fail(whyNot, std::string("\"") + key + "\" is not a 64-bit integer");
}

bool readTime(const nlohmann::json& object, const char* key, TimePoint& into, std::string* whyNot) {
    std::string text;
    if (!readText(object, key, text, whyNot)) {
        return false;
    }
    const auto time = parseRfc3339(text);
    if (!time) {
        return fail(whyNot, std::string("\"") + key + "\" is not a UTC time to the second");
    }
    into = *time;
    return true;
}

} // namespace

std::unique_ptr<Usage> fromJson(std::string_view body, UsageType type, std::string* whyNot) {
    const nlohmann::json object = nlohmann::json::parse(body, nullptr, false);
    if (object.is_discarded()) {
        fail(whyNot, "not JSON in UTF-8");
        return nullptr;
    }
    if (!object.is_object()) {
        fail(whyNot, "not a JSON object");
        return nullptr;
    }
    const std::vector<std::string> expected = type == UsageType::app
                                                  ? keysOf(AppUsage("", "", TimePoint{}, 0, "", 0))
                                                  : keysOf(DeviceUsage("", "", TimePoint{}, 0, 0));
    for (const auto& key : expected) {
        if (!object.contains(key)) {
            fail(whyNot, "missing \"" + key + "\"");
            return nullptr;
        }
    }
    if (object.size() != expected.size()) {
        for (const auto& item : object.items()) {
            if (std::find(expected.begin(), expected.end(), item.key()) == expected.end()) {
                fail(whyNot, "unknown key \"" + item.key() + "\"");
                return nullptr;
            }
        }
    }
    std::string participant;
    std::string model;
    std::int64_t userCount = 0;
    TimePoint time;
    if (!readText(object, "participant_identifier", participant, whyNot) ||
        !readText(object, "device_model_name", model, whyNot) ||
        !readInteger(object, "user_count", userCount, whyNot)) {
        return nullptr;
    }
    if (participant.find(':') == std::string::npos) {
        fail(whyNot, "\"participant_identifier\" has no \":\"");
        return nullptr;
    }
    if (type == UsageType::app) {
        std::string package;
        std::int64_t duration = 0;
        if (!readTime(object, "date", time, whyNot) ||
            !readText(object, "package", package, whyNot) ||
            !readInteger(object, "duration", duration, whyNot)) {
            return nullptr;
        }
        return std::make_unique<AppUsage>(std::move(participant), std::move(model), time, userCount,
                                          std::move(package), duration);
    }
    std::int64_t eventType = 0;
    if (!readTime(object, "timestamp", time, whyNot) ||
        !readInteger(object, "event_type", eventType, whyNot)) {
        return nullptr;
    }
    if (eventType != eventTypeValue(EventType::started) &&
        eventType != eventTypeValue(EventType::ended)) {
        fail(whyNot, "\"event_type\" is neither 0 nor 1");
        return nullptr;
    }
    return std::make_unique<DeviceUsage>(std::move(participant), std::move(model), time, userCount,
                                         eventType);
}

UsageType usageTypeOf(const Usage& usage) {
    return dynamic_cast<const DeviceUsage*>(&usage) != nullptr ? UsageType::device : UsageType::app;
}

} // namespace ulvarend
