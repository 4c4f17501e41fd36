#include "Implementations/LaunchAtLoginHandler.h"
#include "Implementations/Settings.h"
#include "Implementations/SetupHandler.h"
#include "platform/Text.h"
#include "support/ChildProcess.h"
#include "support/Mocks.h"
#include "support/TemporaryHome.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using namespace std::chrono;
using namespace ::testing;
using namespace ulvarend::testing;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome runTool(const std::vector<std::string>& arguments) {
    const TemporaryHome scratch;
    const auto errFile = scratch.root() / "stderr";
    std::string command = quoted(ULVAREND_LINK_TOOL);
    for (const auto& argument : arguments) {
        command += " " + quoted(argument);
    }
    const auto result = capture(command + " 2>" + quoted(errFile.string()));
    return {result.status, result.out, readFile(errFile)};
}

// A fresh home with the real settings store and autostart entry, set up by the agent's own
// handler from what the tool printed.
struct SetUpAgent {
    TemporaryHome home;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::vector<std::string> errors;
    std::shared_ptr<Settings> settings = std::make_shared<Settings>(
        clock, platform::makeDefaultsStore([this](const std::string& e) { errors.push_back(e); }),
        platform::makeHardwareModel(home.root()));
    std::shared_ptr<NiceMock<ulvarend::testing::MockLogger>> logger =
        std::make_shared<NiceMock<ulvarend::testing::MockLogger>>();
    SetupHandler handler{clock,
                         std::make_shared<LaunchAtLoginHandler>(platform::makeLoginItem(
                             [this](const std::string& e) { errors.push_back(e); })),
                         logger, settings, nullptr};

    SetUpAgent() {
        ON_CALL(*logger, logError(_)).WillByDefault([this](const std::string& m) {
            errors.push_back(m);
        });
    }
};

TEST(LinkToolTest, TheAgentReadsBackExactlyWhatTheLinkWasMadeFrom) {
    struct Case {
        std::vector<std::string> arguments;
        std::string participant;
        std::vector<std::string> names;
        TrackingType tracking;
        int days;
    };
    const std::vector<Case> cases = {
        {{"--participant", "P123", "--type", "AppAndDevice", "--days", "14", "Anna", "Bo"},
         "P123",
         {"Anna", "Bo"},
         TrackingType::AppAndDevice,
         14},
        // Commas without a space, quotes, backslashes, brackets inside and letters beyond
        // ASCII are all kept; the short options and aliases work too.
        {{"-p", "hus 7/ø", "-t", "device", "-d", "0", "--", "Åse", "Ole,Jr", "Mor \"M\" [x] y",
          "a\\b", "-n"},
         "hus 7/ø",
         {"Åse", "Ole,Jr", "Mor \"M\" [x] y", "a\\b", "-n"},
         TrackingType::Device,
         0},
        {{"--type=app", "--days=400", "--participant=+/=?&", "Ida"},
         "+/=?&",
         {"Ida"},
         TrackingType::AppAndDevice,
         400},
        {{"--participant", "x", "--type", "Device", "--days", "007", "Bo"},
         "x",
         {"Bo"},
         TrackingType::Device,
         7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.back());
        const Outcome made = runTool(c.arguments);
        ASSERT_EQ(made.status, 0) << made.err;
        EXPECT_EQ(made.err, "");
        ASSERT_THAT(made.out, StartsWith("ulvarend://setup?data="));
        ASSERT_EQ(made.out.back(), '\n');
        const std::string link = made.out.substr(0, made.out.size() - 1);
        EXPECT_EQ(link.find_first_of(" \n+/=", 22), std::string::npos) << link;

        SetUpAgent agent;
        const TimePoint now = agent.clock->now();
        ASSERT_TRUE(agent.handler.setup(link)) << link;
        EXPECT_THAT(agent.errors, IsEmpty());
        EXPECT_TRUE(agent.settings->appHasBeenSetup());
        EXPECT_EQ(agent.settings->userList(), c.names);
        EXPECT_EQ(agent.settings->currentUser(), c.names.front());
        EXPECT_EQ(agent.settings->participantIdentifier(), c.participant + ":" + c.names.front());
        EXPECT_EQ(agent.settings->trackingType(), c.tracking);
        EXPECT_EQ(agent.settings->stopTrackingDate(), platform::addCalendarDays(now, c.days));
        EXPECT_TRUE(
            std::filesystem::exists(agent.home.configHome() / "autostart" / "ulvarend.desktop"));
    }
}

TEST(LinkToolTest, WhatTheAgentWouldReadDifferentlyIsRefusedAsAUsageError) {
    const std::vector<std::string> valid = {"--participant", "P1", "--type", "app", "--days", "14"};
    const auto withNames = [&](std::vector<std::string> names) {
        auto arguments = valid;
        arguments.push_back("--");
        arguments.insert(arguments.end(), names.begin(), names.end());
        return arguments;
    };
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {withNames({"Anna, Bo"}), "contains \", \""},
        {withNames({"", "Bo"}), "a name is empty"},
        {withNames({"Anna", ""}), "a name is empty"},
        {withNames({"[Anna", "Bo"}), "square bracket"},
        {withNames({"Anna]"}), "square bracket"},
        {withNames({"Anna", "]Bo"}), "square bracket"},
        {withNames({"Bo["}), "square bracket"},
        {withNames({"Anna "}), "space"},
        {withNames({"Bo", " Anna"}), "space"},
        {withNames({"Bo\nAnna"}), "control character"},
        {withNames({"Bo\xC2\x9B"}), "control character"},
        {withNames({"Anna", "ukendt-bruger"}), "stands for an unknown member"},
        // A combining mark would merge with the opening bracket.
        {withNames({"\xCC\x81"
                    "Anna"}),
         "joins its neighbour"},
        // Precomposed and decomposed "Åse" are one name to the agent.
        {withNames({"\xC3\x85se", "A\xCC\x8Ase"}), "given twice"},
        {withNames({"Bo\xFF"}), "not UTF-8"},
        {withNames({}), "no names given"},
        {{"--type", "app", "--days", "14", "Anna"}, "--participant is missing"},
        {{"--participant", "", "--type", "app", "--days", "14", "Anna"}, "participant id is empty"},
        {{"--participant", "P1", "--days", "14", "Anna"}, "--type is missing"},
        {{"--participant", "P1", "--type", "apps", "--days", "14", "Anna"},
         "unknown tracking type \"apps\""},
        {{"--participant", "P1", "--type", "1", "--days", "14", "Anna"}, "unknown tracking type"},
        {{"--participant", "P1", "--type", "app", "Anna"}, "--days is missing"},
        {{"--participant", "P1", "--type", "app", "--days", "-1", "Anna"}, "number of days"},
        {{"--participant", "P1", "--type", "app", "--days", "+3", "Anna"}, "number of days"},
        {{"--participant", "P1", "--type", "app", "--days", "2 weeks", "Anna"}, "number of days"},
        {{"--participant", "P1", "--type", "app", "--days", "", "Anna"}, "number of days"},
        {{"--participant", "P1", "--type", "app", "--days", "1.5", "Anna"}, "number of days"},
        {{"--participant", "P1", "--type", "app", "--days", "99999999999999999999", "Anna"},
         "number of days"},
        {{"--participant", "P1", "--type", "app", "--days", "9000000", "Anna"}, "number of days"},
        {{"--participant", "P1", "--participant", "P2", "--type", "app", "--days", "1", "A"},
         "more than once"},
        {{"--participant", "P1", "--type", "app", "--days", "1", "--colour", "A"},
         "Unknown option"},
    };
    for (const auto& [arguments, message] : cases) {
        SCOPED_TRACE(message);
        const Outcome refused = runTool(arguments);
        EXPECT_EQ(refused.status, 2);
        EXPECT_EQ(refused.out, "");
        EXPECT_THAT(refused.err, StartsWith("ulvarend-link: "));
        EXPECT_THAT(refused.err, HasSubstr(message));
    }

    const Outcome help = runTool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("--participant"));
    EXPECT_THAT(help.out, HasSubstr("AppAndDevice"));
}

} // namespace
} // namespace ulvarend
