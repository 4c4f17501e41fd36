// The built agent on a Wayland desktop: headless sway with foot terminals, next to its private
// session bus, the loopback collector and a fresh HOME. Qt draws off screen, so that the agent
// needs no Wayland platform plugin here; the frontmost application still comes from sway.

#include "support/AgentHarness.h"
#include "support/Sway.h"

#include <chrono>
#include <gtest/gtest.h>

namespace ulvarend::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kAlpha = "org.example.Alpha";
constexpr const char* kBeta = "org.example.Beta";

class WaylandAgentSession : public AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        if (!sway.start()) {
            GTEST_SKIP() << "headless sway does not start here";
        }
        // The agent keeps its own runtime directory (its link channel lives there) and is
        // told the compositor's socket by its full path.
        useWaylandDisplay(sway.socketPath());
        writeSetUpDefaults();
    }

    Sway sway;
};

TEST_F(WaylandAgentSession, UsagesOfTwoWaylandApplicationsAreRecordedUntilSigterm) {
    auto agent = startAgent();
    ASSERT_TRUE(waitForLog("Frontmost application source: wlroots Wayland (" +
                           sway.socketPath().string() + ")"));
    ASSERT_TRUE(waitForRecords([&](const auto&) { return !deviceEvents().empty(); }));
    auto events = deviceEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["participant_identifier"], "p-42:Anna");
    EXPECT_EQ(events[0]["event_type"], 1);
    EXPECT_EQ(events[0]["user_count"], 1);

    auto alpha = sway.client(kAlpha);
    auto beta = sway.client(kBeta);
    ASSERT_TRUE(waitUntil([&] { return sway.focus(kAlpha) == 0 && sway.focus(kBeta) == 0; },
                          pauseFor(100ms), 20s));
    // The windows' first moments in front are behind us once the agent has polled twice
    // more: what it sends from here on starts with the beta terminal in front.
    letTwoPollsPass();
    const auto before = appUsages().size();

    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    ASSERT_EQ(sway.focus(kAlpha), 0);
    const auto firstStart = std::chrono::steady_clock::now();
    stayInFront(4s);
    ASSERT_EQ(sway.focus(kBeta), 0);
    const auto secondStart = std::chrono::steady_clock::now();
    stayInFront(3s);
    ASSERT_EQ(sway.focus(kAlpha), 0);
    const auto secondEnd = std::chrono::steady_clock::now();

    ASSERT_TRUE(waitForRecords([&](const auto&) { return appUsages().size() >= before + 3; }));
    const auto usages = appUsages();
    ASSERT_EQ(usages.size(), before + 3);
    EXPECT_EQ(usages[before]["package"], kBeta);
    EXPECT_EQ(usages[before + 1]["package"], kAlpha);
    EXPECT_EQ(usages[before + 2]["package"], kBeta);
    EXPECT_EQ(usages[before + 1]["participant_identifier"], "p-42:Anna");
    const auto first = duration_cast<milliseconds>(secondStart - firstStart).count();
    const auto second = duration_cast<milliseconds>(secondEnd - secondStart).count();
    EXPECT_NEAR(usages[before + 1]["duration"].get<std::int64_t>(), first, kOnePollMs);
    EXPECT_NEAR(usages[before + 2]["duration"].get<std::int64_t>(), second, kOnePollMs);

    EXPECT_EQ(quit(*agent), 0);
    events = deviceEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1]["event_type"], 0);
    EXPECT_EQ(storedRows("device_usages"), 0);
    EXPECT_EQ(logs().find("No source for the frontmost application"), std::string::npos);
}

// With Qt itself on the compositor, the compositor going away is a logout like the others.
TEST_F(WaylandAgentSession, TheCompositorGoingAwayEndsTheSessionsAndTheAgentWithZero) {
    home.set("QT_QPA_PLATFORM", "wayland");
    auto agent = startAgent();
    ASSERT_TRUE(waitForRecords([&](const auto&) { return !deviceEvents().empty(); }));
    auto alpha = sway.client(kAlpha);
    ASSERT_TRUE(waitUntil([&] { return sway.focus(kAlpha) == 0; }, pauseFor(100ms), 20s));
    stayInFront(4s);
    sway.stop();
    EXPECT_EQ(waitForExit(*agent, 20s), 0);
    const auto events = deviceEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1]["event_type"], 0);
    bool alphaSent = false;
    for (const auto& usage : appUsages()) {
        alphaSent = alphaSent || (usage["package"] == kAlpha && usage["duration"] >= 2000);
    }
    EXPECT_TRUE(alphaSent);
}

} // namespace
} // namespace ulvarend::testing
