#include "server/RecordStore.h"

namespace ulvarend::server {

std::vector<std::string> exportColumns(UsageType type) {
    if (type == UsageType::app) {
        return {"participant_identifier",
                "study_id",
                "member",
                "device_model_name",
                "user_count",
                "date",
                "package",
                "duration",
                "received_at"};
    }
    return {"participant_identifier",
            "study_id",
            "member",
            "device_model_name",
            "user_count",
            "timestamp",
            "event_type",
            "received_at"};
}

std::pair<std::string, std::string> splitParticipant(const std::string& participantIdentifier) {
    const auto colon = participantIdentifier.find(':');
    if (colon == std::string::npos) {
        return {participantIdentifier, ""};
    }
    return {participantIdentifier.substr(0, colon), participantIdentifier.substr(colon + 1)};
}

std::string formatReceived(TimePoint time) {
    return formatUtc(time, UtcForm::milliseconds) + "Z";
}

} // namespace ulvarend::server
