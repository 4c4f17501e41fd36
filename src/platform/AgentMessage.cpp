#include "platform/AgentChannel.h"
#include "platform/Text.h"

namespace ulvarend::platform {
namespace {

// The start of a refused message as the log may show it: printable ASCII only.
std::string printable(std::string_view bytes) {
    std::string text;
    for (const char c : bytes.substr(0, 64)) {
        const auto byte = static_cast<unsigned char>(c);
        text += (byte >= 0x20 && byte < 0x7f) ? c : '?';
    }
    return text;
}

AgentMessage dropped(std::string why) {
    return {AgentMessage::Kind::dropped, std::move(why)};
}

} // namespace

AgentMessage readAgentMessage(std::string_view bytes, MessageInput input) {
    // The limit counts the line break, so the break must come within the first `limit` bytes
    // however the bytes were split on their way.
    const auto lineEnd = bytes.substr(0, kAgentMessageLimit).find('\n');
    if (lineEnd == std::string_view::npos) {
        if (bytes.size() >= kAgentMessageLimit) {
            return dropped("Dropped a setup link message longer than " +
                           std::to_string(kAgentMessageLimit) + " bytes");
        }
        if (input == MessageInput::mayContinue) {
            return {};
        }
        if (bytes.empty()) {
            return {AgentMessage::Kind::nothing, {}};
        }
        return dropped("Dropped a setup link message that ended without a line break");
    }
    if (lineEnd + 1 != bytes.size()) {
        return dropped("Dropped a setup link message of more than one line");
    }
    const std::string_view line = bytes.substr(0, lineEnd);
    if (!isValidUtf8(line)) {
        return dropped("Dropped a setup link message that is not UTF-8 text: " + printable(line));
    }
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            return dropped("Dropped a setup link message with control characters: " +
                           printable(line));
        }
    }
    return {AgentMessage::Kind::link, std::string(line)};
}

} // namespace ulvarend::platform
