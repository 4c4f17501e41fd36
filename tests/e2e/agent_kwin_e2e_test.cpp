// The built agent on KDE Plasma's compositor: headless KWin with XWayland and windows of the
// test's own, on the agent's private session bus, with the loopback collector and a fresh
// HOME. Qt draws off screen; the frontmost application comes from the agent's KWin script.
// KWin, the bus and the agent run as one user, as in a real session: the bus admits only its
// own user, and KWin reads the script from the agent's owner-only folder. The switches and a
// KWin that comes later are tried with this machine's KWin (5.27) and with Debian 13's (6.3) and
// 14's (6.7); the rest with this machine's.

#include "support/AgentHarness.h"
#include "support/KWin.h"

#include <chrono>
#include <gtest/gtest.h>

namespace ulvarend::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kAlpha = "org.example.Alpha";
constexpr const char* kBeta = "org.example.Beta";
constexpr const char* kGamma = "org.example.Gamma";
constexpr const char* kChosen = "Frontmost application source: KDE Plasma (KWin)";
constexpr const char* kPluginName = "ulvarend-frontmost";

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class KWinAgentSession : public AgentHarness, public ::testing::WithParamInterface<Distribution> {
protected:
    void SetUp() override {
        std::string whyNoRoot;
        ASSERT_TRUE(kwin.distribution().made(&whyNoRoot)) << whyNoRoot;
        agentUser = kSwayUser;
        AgentHarness::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        useWaylandDisplay(kwin.socketPath());
        writeSetUpDefaults();
    }

    bool startKWin(KWin::LockScreen lockScreen = KWin::LockScreen::none) {
        return kwin.start(std::getenv("DBUS_SESSION_BUS_ADDRESS"), lockScreen);
    }

    // Starts KWin; false, the test failed or skipped, where it did not start: the host's KWin
    // may not start headless, another Debian's is there to be tried and must.
    bool kwinStarted(KWin::LockScreen lockScreen = KWin::LockScreen::none) {
        startKWinOrSkip(lockScreen);
        return !IsSkipped() && !HasFatalFailure();
    }

    void startKWinOrSkip(KWin::LockScreen lockScreen) {
        if (!startKWin(lockScreen)) {
            ASSERT_EQ(GetParam(), Distribution::host) << "KWin did not start";
            GTEST_SKIP() << "headless KWin does not start here";
        }
    }

    void TearDown() override {
        if (HasFailure() || IsSkipped()) {
            std::cerr << "--- KWin\n" << kwin.log();
        }
        AgentHarness::TearDown();
    }

    std::size_t usagesOf(const std::string& package) const {
        std::size_t count = 0;
        for (const auto& usage : appUsages()) {
            count += usage["package"] == package ? 1 : 0;
        }
        return count;
    }

    // Opens windows one after the other; each new one takes the focus, so once the agent sent
    // the usage of the one before (`packagesSeen`, the packages of all but the last), the new
    // one is there and seen. The last one's first moments (an X11 window may tell its class
    // only after it shows) are behind us when this returns.
    std::vector<std::unique_ptr<ChildProcess>>
    openWindows(const std::vector<std::pair<std::string, bool /*x11*/>>& windows,
                const std::vector<std::string>& packagesSeen) {
        std::vector<std::size_t> sent;
        for (const auto& package : packagesSeen) {
            sent.push_back(usagesOf(package));
        }
        std::vector<std::unique_ptr<ChildProcess>> opened;
        for (std::size_t i = 0; i < windows.size(); ++i) {
            const auto& [name, x11] = windows[i];
            opened.push_back(x11 ? kwin.x11Client(name) : kwin.client(name));
            if (i == 0 || i + 1 == windows.size()) {
                letTwoPollsPass();
            }
            if (i != 0) {
                EXPECT_TRUE(waitForRecords([&](const auto&) {
                    return usagesOf(packagesSeen[i - 1]) > sent[i - 1];
                })) << packagesSeen[i - 1];
            }
        }
        return opened;
    }

    struct Step {
        std::string focus;   // the window given the focus
        std::string package; // what the agent calls its application
        std::chrono::milliseconds stay;
    };

    // Gives each step's window the focus for its time, then checks the usages the agent sent
    // for them against the real times.
    void checkSwitches(const std::vector<Step>& steps, const std::string& afterwards) {
        using std::chrono::duration_cast;
        using std::chrono::milliseconds;
        const auto before = appUsages().size();
        std::vector<std::chrono::steady_clock::time_point> starts;
        for (const auto& step : steps) {
            ASSERT_TRUE(kwin.focus(step.focus));
            starts.push_back(std::chrono::steady_clock::now());
            stayInFront(step.stay);
        }
        ASSERT_TRUE(kwin.focus(afterwards));
        starts.push_back(std::chrono::steady_clock::now());
        // The session that was open when the first step began comes first.
        const auto expected = before + 1 + steps.size();
        ASSERT_TRUE(waitForRecords([&](const auto&) { return appUsages().size() >= expected; }));
        const auto usages = appUsages();
        ASSERT_EQ(usages.size(), expected);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const auto& usage = usages[before + 1 + i];
            EXPECT_EQ(usage["package"], steps[i].package);
            EXPECT_EQ(usage["participant_identifier"], "p-42:Anna");
            const auto real = duration_cast<milliseconds>(starts[i + 1] - starts[i]).count();
            EXPECT_NEAR(usage["duration"].get<std::int64_t>(), real, kOnePollMs)
                << steps[i].package;
        }
    }

    KWin kwin{GetParam()};
};

// What every KWin the agent supports is tried with.
class EveryKWinAgentSession : public KWinAgentSession {};

TEST_P(EveryKWinAgentSession, WaylandAndXWaylandWindowsAreRecordedAndTheScriptGoesAtQuit) {
    if (!kwinStarted()) {
        return;
    }
    auto agent = startAgent();
    ASSERT_TRUE(waitForLog(kChosen));
    ASSERT_TRUE(waitForRecords([&](const auto&) { return !deviceEvents().empty(); }));
    EXPECT_TRUE(kwin.scriptLoaded(kPluginName));

    // KWin 5 tells an X11 window's class in lower case, KWin 6 as the window gave it.
    const std::string gamma = GetParam() == Distribution::host ? "org.example.gamma" : kGamma;
    auto windows = openWindows({{kAlpha, false}, {kBeta, false}, {kGamma, true}}, {kAlpha, kBeta});
    checkSwitches({{kAlpha, kAlpha, 3s}, {kGamma, gamma, 3s}, {kBeta, kBeta, 2s}}, kAlpha);

    EXPECT_EQ(quit(*agent), 0);
    EXPECT_FALSE(kwin.scriptLoaded(kPluginName));
    EXPECT_EQ(kwin.loadedScripts(), 0);
    EXPECT_EQ(logs().find("No source for the frontmost application"), std::string::npos);
}

TEST_P(KWinAgentSession, OnlyKWinIsHeardAndAKilledAgentsScriptIsReplacedNotDoubled) {
    if (!kwinStarted()) {
        return;
    }
    auto first = startAgent();
    ASSERT_TRUE(waitForLog(kChosen));
    auto alpha = kwin.client(kAlpha);
    letTwoPollsPass();

    // Another program on the same bus, of the same user, cannot make up what is in front.
    const std::string forged = "org.ulvarend.Agent /org/ulvarend/Agent/KWin "
                               "org.ulvarend.KWinScript.Activated boolean:true string:";
    EXPECT_NE(kwin.dbus(forged + "org.example.Forged").status, 0);
    EXPECT_NE(kwin.dbus(forged + "org.example.Forged").status, 0);
    ASSERT_TRUE(waitForLog("KDE Plasma (KWin): refused a frontmost application call from :"));
    EXPECT_EQ(occurrences(logs(), "refused a frontmost application call"), 1u);

    // Killed, the agent cannot take its script back.
    kill(first->pid, SIGKILL);
    ASSERT_TRUE(waitForExit(*first, 10s).has_value());
    EXPECT_TRUE(kwin.scriptLoaded(kPluginName));
    EXPECT_EQ(kwin.loadedScripts(), 1);

    auto second = startAgent();
    ASSERT_TRUE(waitUntil([&] { return occurrences(logs(), kChosen) == 2; }, pauseFor(100ms), 30s));
    // The script tells at once what is in front: alpha, from the agent's first poll on.
    letTwoPollsPass();
    auto beta = kwin.client(kBeta);
    ASSERT_TRUE(waitForRecords([&](const auto&) { return usagesOf(kAlpha) > 0; }));
    // The new script has told the agent of beta by now: the killed agent's script is gone,
    // not next to it. (Right at the agent's choice the replacement may still be under way.)
    EXPECT_EQ(kwin.loadedScripts(), 1);
    EXPECT_EQ(usagesOf("org.example.Forged"), 0u);
    EXPECT_EQ(quit(*second), 0);
    EXPECT_FALSE(kwin.scriptLoaded(kPluginName));
}

TEST_P(EveryKWinAgentSession, WithoutKWinNothingIsRecordedAndKWinIsFollowedAsItComesAndGoes) {
    auto agent = startAgent();
    ASSERT_TRUE(waitForLog("No source for the frontmost application: "));
    EXPECT_NE(logs().find("KDE Plasma (KWin): org.kde.KWin is not on the session bus"),
              std::string::npos);
    if (!kwinStarted()) {
        return;
    }
    ASSERT_TRUE(waitForLog(kChosen));
    EXPECT_TRUE(appUsages().empty());
    {
        auto windows = openWindows({{kAlpha, false}, {kBeta, false}}, {kAlpha});
        kwin.stop();
    }
    ASSERT_TRUE(waitForLog("KDE Plasma (KWin) left the session bus"));

    ASSERT_TRUE(startKWin());
    ASSERT_TRUE(waitForLog("KDE Plasma (KWin) is on the session bus again"));
    auto windows = openWindows({{kGamma, false}, {kBeta, false}}, {kGamma});
    EXPECT_EQ(occurrences(logs(), "left the session bus"), 1u);
    EXPECT_EQ(occurrences(logs(), kChosen), 1u);
    EXPECT_EQ(quit(*agent), 0);
}

TEST_P(KWinAgentSession, KWinsLockScreenEndsTheSessionsAndIsNeverReported) {
    if (!kwinStarted(KWin::LockScreen::kwins)) {
        return;
    }
    auto agent = startAgent();
    ASSERT_TRUE(waitForLog(kChosen));
    auto windows = openWindows({{kAlpha, false}, {kBeta, false}}, {kAlpha});
    ASSERT_TRUE(waitForRecords([&](const auto&) { return deviceEvents().size() == 1; }));
    const auto before = appUsages().size();
    letTwoPollsPass();

    ASSERT_EQ(kwin.dbus("org.freedesktop.ScreenSaver /ScreenSaver "
                        "org.freedesktop.ScreenSaver.Lock")
                  .status,
              0);
    ASSERT_TRUE(waitForRecords([&](const auto&) { return deviceEvents().size() == 2; }));
    EXPECT_EQ(deviceEvents()[1]["event_type"], 0);
    // Beta's session ends as the screen locks, not at a later poll; what KWin activates behind
    // the lock (its greeter) is no application of the participant's.
    ASSERT_TRUE(waitForRecords([&](const auto&) { return appUsages().size() == before + 1; }));
    const auto beta = appUsages()[before];
    EXPECT_EQ(beta["package"], kBeta);
    // The quit sends whatever is still open, such as a session of the greeter: none may come.
    EXPECT_EQ(quit(*agent), 0);
    EXPECT_EQ(appUsages().size(), before + 1);
}

INSTANTIATE_TEST_SUITE_P(Debian, EveryKWinAgentSession, kEveryDistribution, distributionParamName);
INSTANTIATE_TEST_SUITE_P(Debian, KWinAgentSession, ::testing::Values(Distribution::host),
                         distributionParamName);

} // namespace
} // namespace ulvarend::testing
