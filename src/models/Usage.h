#pragma once

#include "models/Enums.h"
#include "models/Time.h"

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace ulvarend {

// The part every record shares: who it belongs to, on which computer, and when it was built.
class Usage {
public:
    Usage(std::string participantIdentifier, std::string deviceModelName, TimePoint timeStamp,
          std::int64_t userCount, std::optional<std::int64_t> id = std::nullopt);
    virtual ~Usage() = default;

    Usage(const Usage&) = default;
    Usage& operator=(const Usage&) = default;

    std::string participantIdentifier;
    std::string deviceModelName;
    std::int64_t userCount;
    // Row id in the local store; only records read back from it have one. Never sent.
    std::optional<std::int64_t> id;
    TimePoint timeStamp;

    // Writes this record's keys, base keys first, into `object` in the order the server expects.
    virtual void encode(nlohmann::ordered_json& object) const;
};

class AppUsage : public Usage {
public:
    AppUsage(std::string participantIdentifier, std::string deviceModelName, TimePoint timeStamp,
             std::int64_t userCount, std::string package, std::int64_t duration,
             std::optional<std::int64_t> id = std::nullopt);

    std::string package;
    // Whole milliseconds.
    std::int64_t duration;

    void encode(nlohmann::ordered_json& object) const override;
};

class DeviceUsage : public Usage {
public:
    DeviceUsage(std::string participantIdentifier, std::string deviceModelName, TimePoint timeStamp,
                std::int64_t userCount, std::int64_t eventType,
                std::optional<std::int64_t> id = std::nullopt);

    // 1 for started, 0 for ended.
    std::int64_t eventType;

    void encode(nlohmann::ordered_json& object) const override;
};

using UsagePtr = std::shared_ptr<Usage>;

// The compact JSON body posted to the collection server. Text that is not valid UTF-8 (a window
// class can carry any bytes) is sent with U+FFFD in place of the broken bytes rather than
// failing the record.
std::string toJson(const Usage& usage);

// Reads a body in the form toJson writes, as the collection server receives it: one object with
// exactly the keys of `type`'s record, each of its JSON type, the time in the RFC 3339 form
// above, an event type of 0 or 1 and a participant identifier that holds a ":". Anything else
// gives nothing and says why in `whyNot`. The record has no row id.
std::unique_ptr<Usage> fromJson(std::string_view body, UsageType type, std::string* whyNot);

// The endpoint a record belongs to: device usages to the device endpoint, everything else to
// the application endpoint.
UsageType usageTypeOf(const Usage& usage);

} // namespace ulvarend
