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
    kill(agent->pid, SIGTERM);
    EXPECT_EQ(waitForExit(*agent, 20s), 0);
    EXPECT_EQ(storedRows("device_usages"), 2) << "the session's start and its end";
}

TEST_F(AgentSession, AnUntrustedCertificateIsRefusedAndTheRecordKept) {
    home.set("ULVAREND_CA_FILE", certificates.untrustedCaFile());
    auto agent = setUpAgent();
    ASSERT_TRUE(waitUntil([&] { return storedRows("device_usages") == 1; },
                          [] { std::this_thread::sleep_for(100ms); }, 20s));
    EXPECT_TRUE(received().empty());
    kill(agent->pid, SIGTERM);
    EXPECT_EQ(waitForExit(*agent, 20s), 0);
}

TEST_F(AgentSession, AConnectionResetKeepsTheRecord) {
    ResettingServer resetting;
    home.set("ULVAREND_COLLECTION_HOST", "127.0.0.1:" + std::to_string(resetting.port));
    auto agent = setUpAgent();
    ASSERT_TRUE(waitUntil([&] { return storedRows("device_usages") == 1; },
                          [] { std::this_thread::sleep_for(100ms); }, 20s));
    kill(agent->pid, SIGTERM);
    EXPECT_EQ(waitForExit(*agent, 20s), 0);
    EXPECT_EQ(storedRows("device_usages"), 2);
}

TEST_F(AgentSession, ASlowCollectorStillGetsEveryRecord) {
    startCollector({"--delay-ms", "3000"});
    auto agent = setUpAgent();
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 1; }, [] {}, 20s));
    EXPECT_EQ(storedRows("device_usages"), 0);
    kill(agent->pid, SIGTERM);
    EXPECT_EQ(waitForExit(*agent, 20s), 0);
    // The end record outlasts the pause at quit, so it is kept for the next run, even though
    // the collector may still take the copy it was sent: a record may arrive twice, never
    // not at all.
    EXPECT_EQ(storedRows("device_usages"), 1);
}

TEST_F(AgentSession, AnAgentKilledWithStoredRecordsSendsThemAfterItsRestart) {
    startCollector({"--status", "500"});
    auto agent = setUpAgent();
    ASSERT_TRUE(waitUntil([&] { return storedRows("device_usages") == 1; },
                          [] { std::this_thread::sleep_for(100ms); }, 20s));
    kill(agent->pid, SIGKILL);
    waitForExit(*agent, 5s);

    startCollector({});
    auto restarted = startAgent(); // set up: no alert
    ASSERT_TRUE(waitUntil([&] { return storedRows("device_usages") == 0; },
                          [] { std::this_thread::sleep_for(200ms); }, 90s));
    const auto events = deviceEvents();
    ASSERT_EQ(events.size(), 2u) << "the stored start and the new one";
    EXPECT_EQ(events[0]["event_type"], 1);
    EXPECT_EQ(events[1]["event_type"], 1);
    kill(restarted->pid, SIGTERM);
    EXPECT_EQ(waitForExit(*restarted, 20s), 0);
}

TEST_F(AgentSession, DamagedFilesAtLaunchAreMovedAsideAndTheAgentGoesOn) {
    auto agent = setUpAgent();
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 1; }, [] {}, 20s));
    kill(agent->pid, SIGTERM);
    ASSERT_EQ(waitForExit(*agent, 20s), 0);

    // A database that is not one: the agent starts a new one and still delivers.
    const auto database = home.dataHome() / "ulvarend" / "db.sqlite3";
    std::ofstream(database, std::ios::trunc) << std::string(4096, 'x');
    auto second = startAgent();
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 3; }, [] {}, 20s));
    EXPECT_EQ(movedAside(database).size(), 1u);
    kill(second->pid, SIGTERM);
    ASSERT_EQ(waitForExit(*second, 20s), 0);

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
    kill(third->pid, SIGTERM);
    EXPECT_EQ(waitForExit(*third, 20s), 0);
}

} // namespace
} // namespace ulvarend::testing
