// The agent against a collection server that fails, and files that are damaged: every record
// is received or still stored, and the agent keeps running.

#include "support/AgentSession.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace ulvarend::testing {
namespace {

// Accepts connections on 127.0.0.1 and resets each one at once.
class ResettingServer {
public:
    ResettingServer() {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            listen(listener, 16) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        port = ntohs(address.sin_port);
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
    std::this_thread::sleep_for(1s); // the start record is on its way and stays there
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
    EXPECT_EQ(quit(*agent), 0);
}

TEST_F(AgentSession, AConnectionResetKeepsTheRecord) {
    ResettingServer resetting;
    home.set("ULVAREND_COLLECTION_HOST", "127.0.0.1:" + std::to_string(resetting.port));
    auto agent = setUpAgent();
    ASSERT_TRUE(waitForStoredRows("device_usages", 1));
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
        [] { std::this_thread::sleep_for(100ms); }, 20s));
    EXPECT_EQ(movedAside(defaults).size(), 1u);
    answerAlert();
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(waitForExit(*third, 0s).has_value());
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
    std::this_thread::sleep_for(2s);
    const auto sentBefore = bodiesAt("/v1/app_usages").size();
    activate(two);
    std::this_thread::sleep_for(2s);
    activate(one);
    ASSERT_TRUE(waitUntil([&] { return storedRows("app_usages") >= 2; },
                          [] { std::this_thread::sleep_for(100ms); }, 20s));
    EXPECT_EQ(bodiesAt("/v1/app_usages").size(), sentBefore) << "nothing goes out while offline";

    ASSERT_EQ(run("ip route add default dev lo"), 0);
    ASSERT_TRUE(waitForStoredRows("app_usages", 0, 90s));
    EXPECT_GE(bodiesAt("/v1/app_usages").size(), sentBefore + 2);
    EXPECT_EQ(quit(*agent), 0);
}

} // namespace
} // namespace ulvarend::testing
