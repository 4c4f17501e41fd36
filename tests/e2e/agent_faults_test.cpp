// The agent against a collection server that fails, and files that are damaged: every record
// is received or still stored, and the agent keeps running.

#include "platform/LogOutput.h"
#include "support/AgentSession.h"
#include "support/Loopback.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace ulvarend::testing {
namespace {

// Accepts connections on 127.0.0.1 and resets each one at once.
class ResettingServer {
public:
    ResettingServer() {
        listener = listenOnLoopback(port);
        thread = std::thread([this] {
            for (int peer; (peer = accept(listener, nullptr, nullptr)) >= 0;) {
                const linger reset{1, 0};
                setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                close(peer);
            }
        });
    }
    ~ResettingServer() {
        shutdown(listener, SHUT_RDWR);
        thread.join();
        close(listener);
    }
    ResettingServer(const ResettingServer&) = delete;
    ResettingServer& operator=(const ResettingServer&) = delete;

    int port = 0;

private:
    int listener = -1;
    std::thread thread;
};

std::vector<std::filesystem::path> movedAside(const std::filesystem::path& file) {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
        if (entry.path().filename().string().rfind(file.filename().string() + ".corrupt-", 0) ==
            0) {
            found.push_back(entry.path());
        }
    }
    return found;
}

TEST_F(AgentSession, ACollectorThatNeverAnswersLosesNothingAtQuit) {
    startCollector({"--hang"});
    auto agent = setUpAgent();
    // The start record is on its way and stays there.
    ASSERT_TRUE(waitUntil(
        [&] {
            return readFile(home.root() / "collector.err")
                       .find("holding a request to /v1/device_usages") != std::string::npos;
        },
        pauseFor(100ms), 20s));
    EXPECT_EQ(storedRows("device_usages"), 0);
    EXPECT_EQ(quit(*agent), 0);
    EXPECT_EQ(storedRows("device_usages"), 2) << "the session's start and its end";
}

TEST_F(AgentSession, TheCollectorRefusesARequestFarLargerThanARecordUnread) {
    const auto body = home.root() / "large.json";
    writeFile(body, "{\"padding\":\"" + std::string(2 * 1024 * 1024, 'x') + "\"}");
    const auto status = home.root() / "status";
    EXPECT_EQ(
        run("curl -s -o /dev/null -w '%{http_code}' --cacert " + quoted(certificates.caFile()) +
            " -H 'Content-Type: application/json' --data-binary @" + quoted(body) +
            " https://127.0.0.1:" + std::to_string(port) + "/v1/app_usages >" + quoted(status)),
        0);
    EXPECT_EQ(readFile(status), "413");
    EXPECT_TRUE(received().empty());
}

TEST_F(AgentSession, AnUntrustedCertificateIsRefusedAndTheRecordKept) {
    home.set("ULVAREND_CA_FILE", certificates.untrustedCaFile());
    auto agent = setUpAgent();
    ASSERT_TRUE(waitForStoredRows("device_usages", 1));
    EXPECT_TRUE(received().empty());
    // Support can tell why: the library's own reason is in the log.
    EXPECT_TRUE(waitForLog("Sending failed: SSL peer certificate or SSH remote key was not OK: "
                           "SSL certificate problem"));
    EXPECT_EQ(quit(*agent), 0);
}

TEST_F(AgentSession, AMalformedCollectionHostIsReportedAtStartAndTheRecordsKept) {
    home.set("ULVAREND_COLLECTION_HOST", "collector.example.org/elsewhere");
    auto agent = setUpAgent();
    EXPECT_TRUE(waitForLog("Could not create URL from components: the collection server host "
                           "\"collector.example.org/elsewhere\" is not a host name"));
    ASSERT_TRUE(waitForStoredRows("device_usages", 1));
    EXPECT_EQ(quit(*agent), 0);
    EXPECT_EQ(storedRows("device_usages"), 2);
}

TEST_F(AgentSession, WhyTheAgentStoppedIsInTheLogFile) {
    writeSetUpDefaults();
    // The agent's data folder is taken by a file: the store cannot be opened.
    writeFile(home.dataHome() / "ulvarend", "not a folder");
    auto agent = startAgent();
    EXPECT_TRUE(waitForExit(*agent, 30s).has_value());
    EXPECT_NE(logs().find("[ERROR] Fatal error: Could not connect to database: "),
              std::string::npos);
}

TEST_F(AgentSession, AFileSizeLimitIsAnErrorNotTheEndOfTheAgent) {
    writeSetUpDefaults();
    // The current log file is past the limit already, so every line goes past it.
    writeFile(home.stateHome() / "ulvarend" / "logs" /
                  platform::logFileName(std::chrono::system_clock::now()),
              std::string(256 * 1024, '.'));
    agentLimits = "ulimit -f 128; ";
    auto agent = startAgent();
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 1; }, [] {}, 20s));
    EXPECT_EQ(quit(*agent), 0);
}

TEST_F(AgentSession, AConnectionResetKeepsTheRecord) {
    ResettingServer resetting;
    home.set("ULVAREND_COLLECTION_HOST", "127.0.0.1:" + std::to_string(resetting.port));
    auto agent = setUpAgent();
    ASSERT_TRUE(waitForStoredRows("device_usages", 1));
    EXPECT_TRUE(waitForLog("Sending failed: "));
    EXPECT_EQ(quit(*agent), 0);
    EXPECT_EQ(storedRows("device_usages"), 2);
}

TEST_F(AgentSession, ASlowCollectorStillGetsEveryRecord) {
    startCollector({"--delay-ms", "3000"});
    auto agent = setUpAgent();
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 1; }, [] {}, 20s));
    EXPECT_EQ(storedRows("device_usages"), 0);
    EXPECT_EQ(quit(*agent), 0);
    // The end record outlasts the pause at quit, so it is kept for the next run, even though
    // the collector may still take the copy it was sent: a record may arrive twice, never
    // not at all.
    EXPECT_EQ(storedRows("device_usages"), 1);
}

TEST_F(AgentSession, AnAgentKilledWithStoredRecordsSendsThemAfterItsRestart) {
    startCollector({"--status", "500"});
    auto agent = setUpAgent();
    ASSERT_TRUE(waitForStoredRows("device_usages", 1));
    kill(agent->pid, SIGKILL);
    waitForExit(*agent, 5s);

    startCollector({});
    auto restarted = startAgent(); // set up: no alert
    ASSERT_TRUE(waitForStoredRows("device_usages", 0, 90s));
    const auto events = deviceEvents();
    ASSERT_EQ(events.size(), 2u) << "the stored start and the new one";
    EXPECT_EQ(events[0]["event_type"], 1);
    EXPECT_EQ(events[1]["event_type"], 1);
    EXPECT_EQ(quit(*restarted), 0);
}

// A day offline leaves many records behind. They drain in one go once the first batch is
// taken whole, not ten a minute, and none of them reaches the server twice.
TEST_F(AgentSession, StoredRecordsDrainInOneGoAndEachArrivesOnce) {
    writeSetUpDefaults();
    constexpr int kStored = 75;
    {
        const auto file = home.dataHome() / "ulvarend" / "db.sqlite3";
        std::filesystem::create_directories(file.parent_path());
        SQLite::Database db(file.string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        db.exec(R"(CREATE TABLE "app_usages" ("id" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, )"
                R"("participant_identifier" TEXT NOT NULL, "user_count" INTEGER NOT NULL, )"
                R"("time_stamp" TEXT NOT NULL, "package" TEXT NOT NULL, )"
                R"("duration" INTEGER NOT NULL))");
        db.exec(R"(CREATE TABLE "device_usages" ()"
                R"("id" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, )"
                R"("participant_identifier" TEXT NOT NULL, "user_count" INTEGER NOT NULL, )"
                R"("time_stamp" TEXT NOT NULL, "event_type" INTEGER NOT NULL))");
        for (int i = 0; i < kStored; ++i) {
            SQLite::Statement insert(
                db, R"(INSERT INTO "app_usages" ("participant_identifier", "user_count", )"
                    R"("time_stamp", "package", "duration") VALUES ('p-42:Anna', 1, ?, ?, 1000))");
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "2026-01-01T10:%02d:%02d.000", i / 60, i % 60);
            insert.bind(1, std::string(stamp));
            insert.bind(2, "org.example.Stored" + std::to_string(i));
            insert.exec();
        }
    }
    auto agent = startAgent();
    // The first batch comes after a minute of polls; at ten a minute the rest would take
    // another six.
    ASSERT_TRUE(waitForStoredRows("app_usages", 0, 100s));
    std::map<std::string, int> arrivals;
    for (const auto& body : appUsages()) {
        ++arrivals[body["package"].get<std::string>()];
    }
    ASSERT_EQ(arrivals.size(), static_cast<std::size_t>(kStored));
    for (const auto& [package, count] : arrivals) {
        EXPECT_EQ(count, 1) << package;
    }
    EXPECT_EQ(quit(*agent), 0);
}

TEST_F(AgentSession, DamagedFilesAtLaunchAreMovedAsideAndTheAgentGoesOn) {
    auto agent = setUpAgent();
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 1; }, [] {}, 20s));
    ASSERT_EQ(quit(*agent), 0);

    // A database that is not one: the agent starts a new one and still delivers.
    const auto database = home.dataHome() / "ulvarend" / "db.sqlite3";
    std::ofstream(database, std::ios::trunc) << std::string(4096, 'x');
    auto second = startAgent();
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 3; }, [] {}, 20s));
    EXPECT_EQ(movedAside(database).size(), 1u);
    ASSERT_EQ(quit(*second), 0);

    // Settings that cannot be read: the agent starts as if new and asks to be set up.
    const auto defaults = home.configHome() / "ulvarend" / "defaults.json";
    std::ofstream(defaults, std::ios::trunc) << "{\"appHasBeenSetup\": tru";
    auto third = startAgent();
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto all = logs();
            return all.rfind("App has not been setup.") > all.rfind("App is setup!");
        },
        pauseFor(100ms), 20s));
    EXPECT_EQ(movedAside(defaults).size(), 1u);
    answerAlert();
    // Staying is what is checked: nothing shows it but the time it is given to leave.
    EXPECT_EQ(waitForExit(*third, 1s), std::nullopt) << "still waiting for a link";
    EXPECT_EQ(quit(*third), 0);
}

constexpr const char* kInsideNamespace = "ULVAREND_TEST_IN_NETWORK_NAMESPACE";

// Runs the test below in a private network namespace with its loopback up and a default route,
// so that the test may take the network away and give it back.
TEST(AgentNetwork, GoingAwayAndComingBackInAPrivateNetworkNamespace) {
    if (std::getenv(kInsideNamespace) != nullptr) {
        GTEST_SKIP() << "already inside the namespace";
    }
    if (run("unshare -n ip link set lo up >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no private network namespace can be made here";
    }
    const auto self = std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(run(std::string(kInsideNamespace) +
                  "=1 unshare -n sh -c 'ip link set lo up && ip route add default dev lo && exec " +
                  self + " --gtest_filter=AgentSession.AppUsagesWhileOffline*'"),
              0);
}

TEST_F(AgentSession, AppUsagesWhileOfflineAreStoredAndSentOnceTheNetworkReturns) {
    if (std::getenv(kInsideNamespace) == nullptr) {
        GTEST_SKIP() << "runs only inside the namespace the test above makes";
    }
    auto agent = setUpAgent("AppAndDevice");
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 1; }, [] {}, 20s));
    const auto one = showWindow("E2eOne");
    const auto two = showWindow("E2eTwo");
    activate(one);

    ASSERT_EQ(run("ip route del default dev lo"), 0);
    ASSERT_TRUE(waitForLog("Lost internet connection."));
    letTwoPollsPass();
    const auto sentBefore = bodiesAt("/v1/app_usages").size();
    activate(two);
    letTwoPollsPass();
    activate(one);
    ASSERT_TRUE(waitUntil([&] { return storedRows("app_usages") >= 2; }, pauseFor(100ms), 20s));
    EXPECT_EQ(bodiesAt("/v1/app_usages").size(), sentBefore) << "nothing goes out while offline";

    ASSERT_EQ(run("ip route add default dev lo"), 0);
    ASSERT_TRUE(waitForStoredRows("app_usages", 0, 90s));
    EXPECT_GE(bodiesAt("/v1/app_usages").size(), sentBefore + 2);
    EXPECT_EQ(quit(*agent), 0);
}

} // namespace
} // namespace ulvarend::testing
