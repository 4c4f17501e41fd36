// The bytes another invocation sends through the agent's local socket.
#include "FuzzSupport.h"
#include "platform/AgentChannel.h"
#include "platform/Text.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace ulvarend::platform;
using ulvarend::fuzzing::fail;
using Kind = AgentMessage::Kind;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto open = readAgentMessage(bytes, MessageInput::mayContinue);
    const auto ended = readAgentMessage(bytes, MessageInput::ended);

    if (open.kind == Kind::nothing || ended.kind == Kind::incomplete) {
        fail("the end of the connection was misread");
    }
    if (open.kind == Kind::incomplete) {
        if (bytes.find('\n') != std::string_view::npos) {
            fail("a complete line was taken for an incomplete one");
        }
        if ((ended.kind == Kind::nothing) != bytes.empty()) {
            fail("an empty connection was misread");
        }
    } else if (open.kind != ended.kind || open.text != ended.text) {
        fail("a complete message read differently once the connection ended");
    }

    for (const auto& message : {open, ended}) {
        if (message.kind == Kind::dropped &&
            !message.text.starts_with("Dropped a setup link message ")) {
            fail("a dropped message is described in other words");
        }
        if (message.kind == Kind::link) {
            if (message.text.size() + 1 != bytes.size() || bytes.back() != '\n' ||
                !bytes.starts_with(message.text) || message.text.size() >= kAgentMessageLimit ||
                !isValidUtf8(message.text)) {
                fail("a link was taken that is not one short line of text");
            }
            for (const char c : message.text) {
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    fail("a link was taken with a control character");
                }
            }
        }
    }

    // However the bytes arrive, an earlier part that is already too long makes the whole so.
    const std::string tooLong =
        "Dropped a setup link message longer than " + std::to_string(kAgentMessageLimit) + " bytes";
    if (size > 1) {
        const auto part = readAgentMessage(bytes.substr(0, size / 2), MessageInput::mayContinue);
        if (part.kind == Kind::dropped && part.text == tooLong && open.text != tooLong) {
            fail("a message too long in part was not too long in whole");
        }
    }
    if (open.kind == Kind::link && bytes.size() > kAgentMessageLimit) {
        fail("a link was taken from more bytes than the limit");
    }
    return 0;
}
