// The agent as a participant meets it: launch, setup links, tracking, quitting.

#include "support/AgentSession.h"

#include <fcntl.h>
#include <limits>
#include <sys/file.h>

namespace ulvarend::testing {
namespace {

TEST_F(AgentSession, FirstLaunchThenALinkHandedOverThenTrackingUntilSigterm) {
    auto agent = startAgent();
    ASSERT_TRUE(waitForLog("App has not been setup."));
    // The setup-missing alert is still open: the link waits for it to close by itself.
    EXPECT_EQ(invoke(link("--type AppAndDevice --days 14 Anna Bo")), 0);
    EXPECT_EQ(run(quoted(ULVAREND_AGENT) + " >/dev/null 2>&1"), 0)
        << "a second agent leaves at once";
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
    stayInFront(4s);
    activate(two);
    const auto secondStart = std::chrono::steady_clock::now();
    stayInFront(3s);
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
    const auto first = duration_cast<milliseconds>(secondStart - firstStart).count();
    const auto second = duration_cast<milliseconds>(secondEnd - secondStart).count();
    ASSERT_EQ(durations["E2eOne"].size(), 1u);
    EXPECT_NEAR(durations["E2eOne"][0], first, kOnePollMs);
    ASSERT_EQ(durations["E2eTwo"].size(), 1u);
    EXPECT_NEAR(durations["E2eTwo"][0], second, kOnePollMs);

    screenSaver(true);
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 2; }, [] {}, 10s));
    EXPECT_EQ(deviceEvents()[1]["event_type"], 0);
    screenSaver(false);
    answerAlert(); // asked again after waking
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 3; }, [] {}, 10s));
    EXPECT_EQ(deviceEvents()[2]["event_type"], 1);

    EXPECT_EQ(quit(*agent), 0);
    ASSERT_EQ(deviceEvents().size(), 4u);
    EXPECT_EQ(deviceEvents()[3]["event_type"], 0);
    EXPECT_EQ(storedRows("device_usages"), 0);
}

// What a running agent has mapped: its status icon comes without Qt SVG (the library, its icon
// engine and its image format plugin), and watching reachability opens none of GIO's modules.
// The agent runs itself again at start to skip GnuTLS's set-up; it keeps its process name.
TEST_F(AgentSession, TheRunningAgentMapsNoSvgStackAndNoGioModule) {
    writeSetUpDefaults();
    auto agent = startAgent();
    // The icon is set before launching ends, and the reachability watch is running by then.
    ASSERT_TRUE(waitForRecords([](const auto& records) { return !records.empty(); }));
    const std::string maps = readFile("/proc/" + std::to_string(agent->pid) + "/maps");
    ASSERT_NE(maps.find("ulvarend"), std::string::npos) << "the agent's own maps";
    for (const char* unwanted : {"libQt6Svg", "libqsvgicon", "libqsvg.so", "/gio/modules/"}) {
        EXPECT_EQ(maps.find(unwanted), std::string::npos) << unwanted << " is mapped";
    }
    EXPECT_EQ(quit(*agent), 0);
}

TEST_F(AgentSession, AFailedLinkBeforeSetupEndsTheAgentWithOne) {
    auto agent = startAgent("ulvarend://setup?data=bm90IGpzb24%3D");
    ASSERT_TRUE(waitForLog("App has not been setup."));
    answerAlert(); // "Klar til opsætning"
    ASSERT_TRUE(waitForLog("Invalid startup url."));
    answerAlert(); // "Opsætning mislykkedes"
    EXPECT_EQ(waitForExit(*agent, 20s), 1);
    EXPECT_FALSE(std::filesystem::exists(home.configHome() / "autostart/ulvarend.desktop"));
    EXPECT_TRUE(received().empty());
}

TEST_F(AgentSession, WhatASessionManagerAddsIsNoLinkAndTheAgentWaitsForOne) {
    // As restored at login: Qt's own option with its value, and a word Qt does not know.
    ChildProcess agent({"sh", "-c",
                        "exec " + quoted(ULVAREND_AGENT) + " -session 1016e3b0a5000163 stray >>" +
                            quoted(home.root() / "agent.out") + " 2>&1"});
    ASSERT_TRUE(waitForLog("App has not been setup."));
    answerAlert(); // "Klar til opsætning"
    EXPECT_TRUE(waitForLog("Ignored a command-line argument that is not a setup link: stray"));
    EXPECT_EQ(waitForExit(agent, 2s), std::nullopt) << "still waiting for a link";
    EXPECT_EQ(logs().find("Invalid startup url."), std::string::npos);
    EXPECT_EQ(logs().find("1016e3b0a5000163"), std::string::npos);
    kill(agent.pid, SIGTERM);
    EXPECT_EQ(waitForExit(agent, 20s), 0);
}

// A folder that another local user made first, where the agent's runtime folder would be or
// where it went without one, keeps no later invocation from the agent.
TEST_F(AgentSession, AFolderAnotherUserMadeFirstKeepsNoLinkFromTheAgent) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as a second local user";
    }
    const std::filesystem::path shared = "/tmp/ulvarend-" + std::to_string(getuid());
    // The folder is the whole machine's: this test built for another sanitizer, or in another
    // checkout, may be at the same step, so each waits for the other to be done with it.
    const int machineLock =
        open("/tmp/ulvarend-e2e-shared-folder.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(machineLock, 0);
    const std::unique_ptr<const int, void (*)(const int*)> unlock(
        &machineLock, [](const int* fd) { close(*fd); });
    ASSERT_EQ(flock(machineLock, LOCK_EX), 0);
    if (std::filesystem::exists(shared)) {
        GTEST_SKIP() << shared << " exists already";
    }
    // Gone again however the test ends: it is a folder of the whole machine.
    const RemovedWhenGone removeShared(shared);
    const std::vector<std::function<void()>> spoilers{
        [&] {
            const auto taken = home.root() / "run" / "ulvarend";
            std::filesystem::create_directories(taken);
            ASSERT_EQ(chown(taken.c_str(), 65534, 65534), 0);
        },
        [&] {
            home.set("XDG_RUNTIME_DIR", "");
            ASSERT_EQ(run(asUser("nobody", "mkdir -m 0777 " + shared.string())), 0);
        }};
    for (const auto& spoil : spoilers) {
        spoil();
        auto agent = startAgent();
        ASSERT_TRUE(waitForLog("App has not been setup."));
        answerAlert(); // "Klar til opsætning"
        EXPECT_EQ(invoke(link("--type Device --days 14 Anna")), 0);
        if (waitForLog("App is setup!")) {
            answerAlert(); // "Opsætning færdiggjort"
        } else {
            ADD_FAILURE() << "the link did not reach the agent";
        }
        EXPECT_EQ(logs().find("Setup links cannot be handed to this agent: "), std::string::npos);
        EXPECT_EQ(quit(*agent), 0);
        std::filesystem::remove_all(home.configHome() / "ulvarend");
        std::filesystem::remove_all(home.stateHome() / "ulvarend" / "logs");
    }
}

// Reached but not answering (its socket removed, as a cleaner of old files might): the
// participant is told, not only standard error and the log.
TEST_F(AgentSession, AnAgentThatCannotBeReachedIsToldInAnAlert) {
    auto agent = setUpAgent();
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 1; }, [] {}, 20s));
    std::filesystem::remove(home.root() / "run/ulvarend/agent.socket");
    ChildProcess later(
        {"sh", "-c",
         "exec " + quoted(ULVAREND_AGENT) + " >>" + quoted(home.root() / "agent.out") + " 2>&1"});
    answerAlert(); // "Ulvarend svarer ikke"
    EXPECT_EQ(waitForExit(later, 20s), 1);
    EXPECT_TRUE(waitForLog("Another agent is running and could not be reached: ", 1s));
    EXPECT_EQ(quit(*agent), 0);
}

// Where the desktop shows no status area, the application menu is the way to the user window.
TEST_F(AgentSession, StartingTheProgramAgainOpensTheUserWindowOnce) {
    auto agent = setUpAgent();
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 1; }, [] {}, 20s));
    EXPECT_EQ(visibleWindows("Brugerhåndtering"), "");
    EXPECT_EQ(invoke(std::nullopt), 0);
    ASSERT_TRUE(waitUntil([&] { return !visibleWindows("Brugerhåndtering").empty(); },
                          pauseFor(100ms), 20s));
    // Another window in front first: the second invocation has been handled once the user window
    // is back in front.
    const auto userWindow = visibleWindows("Brugerhåndtering");
    activate(showWindow("E2eOne"));
    EXPECT_EQ(invoke(std::nullopt), 0);
    EXPECT_TRUE(waitUntil([&] { return activeWindow() == userWindow; }, pauseFor(100ms), 20s));
    const auto windows = visibleWindows("Brugerhåndtering");
    EXPECT_EQ(windows.find('\n'), std::string::npos) << "one window: " << windows;
    EXPECT_EQ(quit(*agent), 0);
}

TEST_F(AgentSession, AFailedLinkAfterSetupLeavesTheStudyRunning) {
    auto agent = setUpAgent();
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 1; }, [] {}, 20s));

    // A link whose day count is no number: nothing of it may replace the running study.
    const auto bad =
        output("printf '%s' '{\"user_id\":\"intruder\",\"users\":\"[Mallory]\",\"tracking_type\":"
               "\"1\",\"measurement_days\":\"many\"}' | base64 -w0");
    EXPECT_EQ(invoke("ulvarend://setup?data=" + bad), 0);
    ASSERT_TRUE(waitForLog("Invalid value: mesaurement_days"));
    answerAlert(); // "Opsætning mislykkedes"

    // The session it ends after the alert shows the agent went on.
    screenSaver(true);
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 2; }, [] {}, 10s));
    ASSERT_FALSE(waitForExit(*agent, 0s).has_value()) << "the agent must go on";
    EXPECT_EQ(deviceEvents()[1]["participant_identifier"], "p-42:Anna");
    EXPECT_EQ(readFile(home.configHome() / "ulvarend/defaults.json").find("Mallory"),
              std::string::npos);
    EXPECT_EQ(quit(*agent), 0);
}

TEST_F(AgentSession, APeriodOfZeroDaysEndsAtOnceWithZeroAndNoAutostart) {
    auto agent = setUpAgent("AppAndDevice", 0);
    answerAlert(); // "Tracking perioden er afsluttet"
    EXPECT_EQ(waitForExit(*agent, 20s), 0);
    EXPECT_TRUE(waitForLog("Tracking date has been reached.", 1s));
    EXPECT_FALSE(std::filesystem::exists(home.configHome() / "autostart/ulvarend.desktop"));
}

TEST_F(AgentSession, RecordsTheCollectorRefusesAreStoredAndSentOnceItRecovers) {
    startCollector({"--status", "500"});
    auto agent = startAgent(link("--type Device --days 14 Anna"));
    ASSERT_TRUE(waitForLog("App has not been setup."));
    answerAlert();
    ASSERT_TRUE(waitForLog("App is setup!"));
    answerAlert();
    ASSERT_TRUE(waitForStoredRows("device_usages", 1));
    EXPECT_TRUE(received().empty());

    startCollector({});
    // Stored records go out with the next batch, a minute of polls after the last.
    ASSERT_TRUE(waitForStoredRows("device_usages", 0, 90s));
    ASSERT_EQ(deviceEvents().size(), 1u);
    EXPECT_EQ(deviceEvents()[0]["event_type"], 1);
    EXPECT_EQ(quit(*agent), 0);
}

TEST_F(AgentSession, ASecondLinkSwitchesApplicationTrackingOffAndOnAtOnce) {
    auto agent = setUpAgent("AppAndDevice");
    const auto one = showWindow("E2eOne");
    const auto two = showWindow("E2eTwo");
    auto switchBackAndForth = [&] {
        activate(one);
        letTwoPollsPass();
        activate(two);
        letTwoPollsPass();
    };
    auto relink = [&](const std::string& type, int setups) {
        EXPECT_EQ(invoke(link("--type " + type + " --days 14 Anna")), 0);
        ASSERT_TRUE(waitUntil(
            [&] {
                const auto all = logs();
                int found = 0;
                for (auto at = all.find("App is setup!"); at != std::string::npos;
                     at = all.find("App is setup!", at + 1)) {
                    ++found;
                }
                return found == setups;
            },
            pauseFor(50ms), 30s));
        answerAlert(); // "Opsætning færdiggjort"
    };
    // A session closed before the link may still be on its way, the slower the busier the
    // machine: the count is taken once nothing has arrived for three seconds.
    auto settledCount = [&] {
        auto count = std::numeric_limits<std::size_t>::max();
        EXPECT_TRUE(waitUntil(
            [&] {
                const auto now = appUsages().size();
                const bool settled = now == count;
                count = now;
                return settled;
            },
            pauseFor(3s), 60s));
        return count;
    };
    switchBackAndForth();
    ASSERT_TRUE(waitForRecords([&](const auto&) { return !appUsages().empty(); }));

    relink("Device", 2);
    const auto beforeDeviceOnly = settledCount();
    switchBackAndForth();
    EXPECT_EQ(appUsages().size(), beforeDeviceOnly) << "device only, yet applications recorded";

    relink("AppAndDevice", 3);
    switchBackAndForth();
    EXPECT_TRUE(
        waitForRecords([&](const auto&) { return appUsages().size() > beforeDeviceOnly; }, 30s))
        << "applications are tracked again without a restart";
    EXPECT_EQ(deviceEvents().size(), 1u) << "links that change nobody change no session";
    kill(agent->pid, SIGTERM);
    EXPECT_EQ(waitForExit(*agent, 20s), 0);
}

// One "ended" per "started": the screens' sleep ended the session, so quitting ends nothing.
TEST_F(AgentSession, QuittingWhileTheScreensSleepSendsNoSecondEnded) {
    auto agent = setUpAgent();
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 1; }, [] {}, 20s));
    screenSaver(true);
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 2; }, [] {}, 10s));
    EXPECT_EQ(quit(*agent), 0);
    const auto events = deviceEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["event_type"], 1);
    EXPECT_EQ(events[1]["event_type"], 0);
    EXPECT_EQ(storedRows("device_usages"), 0);
}

// A machine that sleeps instead of logging out: the period that ended while it slept is seen
// at the wake, before anyone is asked who is there or a session starts.
TEST_F(AgentSession, APeriodThatEndsWhileTheAgentRunsEndsItAtTheWake) {
    const auto stop = writeSetUpDefaults(8s);
    auto agent = startAgent();
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 1; }, [] {}, 20s));
    screenSaver(true);
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 2; }, [] {}, 10s));
    ASSERT_TRUE(
        waitUntil([&] { return std::chrono::system_clock::now() > stop; }, pauseFor(100ms), 20s));
    screenSaver(false);
    answerAlert(); // "Tracking perioden er afsluttet"
    EXPECT_EQ(waitForExit(*agent, 20s), 0);
    EXPECT_TRUE(waitForLog("Tracking date has been reached.", 1s));
    const auto events = deviceEvents();
    ASSERT_EQ(events.size(), 2u) << "no session after the period";
    EXPECT_EQ(events[1]["event_type"], 0);
}

// A link for another participant while an application is in front: what was open until then
// is the old participant's, and each member's session is started and ended once.
TEST_F(AgentSession, ALinkThatChangesWhoIsRecordedClosesTheOpenSessionsUnderTheOldOne) {
    auto agent = setUpAgent("AppAndDevice");
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 1; }, [] {}, 20s));
    activate(showWindow("E2eOne"));
    letTwoPollsPass();
    const auto other = output(quoted(ULVAREND_LINK_TOOL) +
                              " --participant p-77 --type AppAndDevice --days 14 Anna");
    EXPECT_EQ(invoke(other), 0);
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 2; }, [] {}, 30s));
    answerAlert(); // "Opsætning færdiggjort"
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 3; }, [] {}, 10s));
    EXPECT_EQ(quit(*agent), 0);

    std::vector<std::string> sessions;
    for (const auto& event : deviceEvents()) {
        sessions.push_back(event["participant_identifier"].get<std::string>() +
                           (event["event_type"] == 1 ? " started" : " ended"));
    }
    EXPECT_EQ(sessions, (std::vector<std::string>{"p-42:Anna started", "p-42:Anna ended",
                                                  "p-77:Anna started", "p-77:Anna ended"}));
    std::vector<std::string> shown;
    for (const auto& usage : appUsages()) {
        if (usage["package"] == "E2eOne") {
            shown.push_back(usage["participant_identifier"]);
        }
    }
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.front(), "p-42:Anna") << "the window in front before the link";
    EXPECT_EQ(storedRows("app_usages") + storedRows("device_usages"), 0);
}

// However the agent is made to quit, the application in front until then is not lost: it is
// sent, or stored when the collector does not answer, and the device session ends.
class QuitSession : public AgentSession {
protected:
    enum class Quit { bySignal, byDisplayServerStopping };
    enum class Collector { answers, hangs };

    void quitWithAnApplicationInFront(Quit how, Collector collector) {
        if (collector == Collector::hangs) {
            startCollector({"--hang"});
            home.set("ULVAREND_COLLECTION_HOST", "127.0.0.1:" + std::to_string(port));
        }
        auto agent = setUpAgent("AppAndDevice");
        activate(showWindow("E2eLong"));
        const auto shown = std::chrono::steady_clock::now();
        stayInFront(6s);
        const auto quitAt = std::chrono::steady_clock::now();
        if (how == Quit::bySignal) {
            kill(agent->pid, SIGTERM);
        } else {
            x.stopServer();
        }
        EXPECT_EQ(waitForExit(*agent, 20s), 0);
        if (collector == Collector::hangs) {
            EXPECT_EQ(storedRows("app_usages"), 1);
            EXPECT_EQ(storedRows("device_usages"), 2); // started and ended
            return;
        }
        std::vector<std::int64_t> durations;
        for (const auto& usage : appUsages()) {
            if (usage["package"] == "E2eLong") {
                durations.push_back(usage["duration"]);
            }
        }
        ASSERT_EQ(durations.size(), 1u);
        const auto open = std::chrono::duration_cast<std::chrono::milliseconds>(quitAt - shown);
        EXPECT_NEAR(durations[0], open.count(), kOnePollMs);
        ASSERT_EQ(deviceEvents().size(), 2u);
        EXPECT_EQ(deviceEvents()[1]["event_type"], 0);
    }
};

TEST_F(QuitSession, BySignal) {
    quitWithAnApplicationInFront(Quit::bySignal, Collector::answers);
}

TEST_F(QuitSession, ByTheDisplayServerStopping) {
    quitWithAnApplicationInFront(Quit::byDisplayServerStopping, Collector::answers);
}

TEST_F(QuitSession, ByTheDisplayServerStoppingWhileTheCollectorHangs) {
    quitWithAnApplicationInFront(Quit::byDisplayServerStopping, Collector::hangs);
}

} // namespace
} // namespace ulvarend::testing
