// The built agent in a session of Xvfb with openbox, next to its private session bus, the
// loopback collector and a fresh HOME.

#include "support/AgentHarness.h"
#include "support/XServer.h"

#include <gtest/gtest.h>
#include <map>

namespace ulvarend::testing {
namespace {

using namespace std::chrono_literals;

class AgentSession : public AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        x.startWindowManager();
        home.set("DISPLAY", x.display());
        unsetenv("WAYLAND_DISPLAY");
        home.set("QT_QPA_PLATFORM", "xcb");
    }

    // A second invocation, as the desktop makes when a link is opened; its exit status.
    int invoke(const std::string& link) {
        return run(quoted(ULVAREND_AGENT) + " " + quoted(link) + " >>" +
                   quoted(home.root() / "agent.out") + " 2>&1");
    }

    static std::string link(const std::string& arguments) {
        return output(quoted(ULVAREND_LINK_TOOL) + " --participant p-42 " + arguments);
    }

    // Presses Return in the agent's alert that is showing, then waits for it to go, so that
    // the next answer cannot reach the same alert.
    void answerAlert() {
        const std::string display = "DISPLAY=" + x.display() + " ";
        const auto window = output(display + "xdotool search --sync --onlyvisible --limit 1 "
                                             "--name '^Ulvarend$' 2>/dev/null");
        ASSERT_FALSE(window.empty());
        run(display + "xdotool windowactivate --sync " + window + " key Return >/dev/null 2>&1");
        ASSERT_TRUE(waitUntil(
            [&] {
                const auto visible = output(
                    display + "xdotool search --onlyvisible --name '^Ulvarend$' 2>/dev/null");
                return ("\n" + visible + "\n").find("\n" + window + "\n") == std::string::npos;
            },
            [] { std::this_thread::sleep_for(50ms); }));
    }

    // A window of a test application whose class names it.
    std::string showWindow(const std::string& application) {
        const std::string display = "DISPLAY=" + x.display() + " ";
        run(display + "xmessage -name " + application + " -geometry 300x100 " + application +
            " >/dev/null 2>&1 &");
        const auto window =
            output(display + "xdotool search --sync --limit 1 --classname '^" + application + "$'");
        run(display + "xdotool set_window --class " + application + " " + window);
        return window;
    }

    void activate(const std::string& window) {
        ASSERT_EQ(run("DISPLAY=" + x.display() + " xdotool windowactivate --sync " + window +
                      " >/dev/null 2>&1"),
                  0);
    }

    void screenSaver(bool active) {
        ASSERT_EQ(run("dbus-send --session --type=signal /org/freedesktop/ScreenSaver "
                      "org.freedesktop.ScreenSaver.ActiveChanged boolean:" +
                      std::string(active ? "true" : "false")),
                  0);
    }

    XServer x;
};

TEST_F(AgentSession, FirstLaunchThenALinkHandedOverThenTrackingUntilSigterm) {
    auto agent = startAgent();
    ASSERT_TRUE(waitForLog("App has not been setup."));
    // The setup-missing alert is still open: the link waits for it to close by itself.
    EXPECT_EQ(invoke(link("--type AppAndDevice --days 14 Anna Bo")), 0);
    EXPECT_EQ(logs().find("App is setup!"), std::string::npos);
    ASSERT_TRUE(waitForLog("App is setup!", 40s));
    answerAlert(); // "Opsætning færdiggjort"
    // A household of two is asked who sits at the computer.
    answerAlert(); // "Er du Anna?" -> "Ja, det er mig"
    ASSERT_TRUE(waitForRecords([](const auto& r) { return !r.empty(); }));
    auto events = deviceEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["participant_identifier"], "p-42:Anna");
    EXPECT_EQ(events[0]["event_type"], 1);
    EXPECT_EQ(events[0]["user_count"], 2);

    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const auto one = showWindow("E2eOne");
    const auto two = showWindow("E2eTwo");
    activate(one);
    const auto firstStart = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(4s);
    activate(two);
    const auto secondStart = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);
    activate(one);
    const auto secondEnd = std::chrono::steady_clock::now();

    std::map<std::string, std::vector<std::int64_t>> durations;
    ASSERT_TRUE(waitForRecords([&](const auto& records) {
        durations.clear();
        for (const auto& record : records) {
            if (record["path"] == "/v1/app_usages") {
                durations[record["body"]["package"]].push_back(record["body"]["duration"]);
            }
        }
        return durations.count("E2eOne") != 0 && durations.count("E2eTwo") != 0;
    }));
    // The agent sees a switch at its next poll, once a second.
    const auto first = duration_cast<milliseconds>(secondStart - firstStart).count();
    const auto second = duration_cast<milliseconds>(secondEnd - secondStart).count();
    ASSERT_EQ(durations["E2eOne"].size(), 1u);
    EXPECT_NEAR(durations["E2eOne"][0], first, 1000 + 250);
    ASSERT_EQ(durations["E2eTwo"].size(), 1u);
    EXPECT_NEAR(durations["E2eTwo"][0], second, 1000 + 250);

    screenSaver(true);
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 2; }, [] {}, 10s));
    EXPECT_EQ(deviceEvents()[1]["event_type"], 0);
    screenSaver(false);
    answerAlert(); // asked again after waking
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 3; }, [] {}, 10s));
    EXPECT_EQ(deviceEvents()[2]["event_type"], 1);

    kill(agent->pid, SIGTERM);
    EXPECT_EQ(waitForExit(*agent, 20s), 0);
    ASSERT_EQ(deviceEvents().size(), 4u);
    EXPECT_EQ(deviceEvents()[3]["event_type"], 0);
    EXPECT_EQ(storedRows("device_usages"), 0);
}

} // namespace
} // namespace ulvarend::testing
