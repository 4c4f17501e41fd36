#include "platform/AgentChannel.h"

#include <gtest/gtest.h>

namespace ulvarend::platform {
namespace {

using Kind = AgentMessage::Kind;

std::string droppedText(std::string_view bytes, MessageInput input = MessageInput::mayContinue) {
    const auto message = readAgentMessage(bytes, input);
    EXPECT_EQ(message.kind, Kind::dropped) << bytes;
    return message.text;
}

TEST(AgentMessageTest, OneLineIsALinkAndAnythingShortOfItWaitsOrIsDroppedAtTheEnd) {
    const auto link =
        readAgentMessage("ulvarend://setup?data=QUJD%3D\n", MessageInput::mayContinue);
    EXPECT_EQ(link.kind, Kind::link);
    EXPECT_EQ(link.text, "ulvarend://setup?data=QUJD%3D");
    const auto ask = readAgentMessage("\n", MessageInput::ended);
    EXPECT_EQ(ask.kind, Kind::link);
    EXPECT_EQ(ask.text, "");

    EXPECT_EQ(readAgentMessage("", MessageInput::mayContinue).kind, Kind::incomplete);
    EXPECT_EQ(readAgentMessage("ulvarend://se", MessageInput::mayContinue).kind, Kind::incomplete);
    EXPECT_EQ(readAgentMessage("", MessageInput::ended).kind, Kind::nothing);
    EXPECT_EQ(droppedText("ulvarend://se", MessageInput::ended),
              "Dropped a setup link message that ended without a line break");
}

TEST(AgentMessageTest, TheLimitCountsTheLineBreakHoweverTheBytesArrive) {
    const std::string longest(kAgentMessageLimit - 1, 'a');
    EXPECT_EQ(readAgentMessage(longest + "\n", MessageInput::mayContinue).kind, Kind::link);
    EXPECT_EQ(readAgentMessage(longest, MessageInput::mayContinue).kind, Kind::incomplete);
    const std::string tooLong = "Dropped a setup link message longer than 16384 bytes";
    EXPECT_EQ(droppedText(longest + "a"), tooLong);
    // In one piece the break right after the limit was once taken as the end of a valid line.
    EXPECT_EQ(droppedText(longest + "a\n"), tooLong);
    EXPECT_EQ(droppedText(std::string(20000, 'a'), MessageInput::ended), tooLong);
}

TEST(AgentMessageTest, MessagesThatAreNotOneLineOfTextAreDroppedWithTheirStart) {
    EXPECT_EQ(droppedText("one\ntwo\n"), "Dropped a setup link message of more than one line");
    EXPECT_EQ(droppedText("one\n\n"), "Dropped a setup link message of more than one line");
    EXPECT_EQ(droppedText("ulvarend://\xff\xfe\n"),
              "Dropped a setup link message that is not UTF-8 text: ulvarend://??");
    EXPECT_EQ(droppedText("ulvarend://a\tb\n"),
              "Dropped a setup link message with control characters: ulvarend://a?b");
    EXPECT_EQ(droppedText("a\x7f\n"), "Dropped a setup link message with control characters: a?");
    // Only the start is shown, with anything unprintable masked.
    EXPECT_EQ(droppedText(std::string(100, 'x') + "\r\n"),
              "Dropped a setup link message with control characters: " + std::string(64, 'x'));
    EXPECT_EQ(droppedText("\xc3\xa5\x01\n"),
              "Dropped a setup link message with control characters: ???");
}

} // namespace
} // namespace ulvarend::platform
