// The built agent sending to the built ulvarend-server instead of the collector: a record
// direct, one kept through an outage, one whose answer was lost, and one sent while the
// server's PostgreSQL was stopped. Each reaches the server's database exactly once.

#include "CollectionCredentials.h"
#include "support/AgentSession.h"
#include "support/Loopback.h"
#include "support/Postgres.h"
#include "support/ServerProcess.h"

#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace ulvarend::testing {
namespace {

// Forwards TCP from a loopback port to the server. While dropping, the first connection on
// which the server speaks after `answered()` holds (the record is committed, so what comes now
// is its answer) is reset towards the agent instead: the answer is lost on the way.
class AnswerDroppingProxy {
public:
    AnswerDroppingProxy(int target_, std::function<bool()> answered_)
        : target(target_), answered(std::move(answered_)) {
        listener = listenOnLoopback(port);
        acceptor = std::thread([this] {
            for (int peer; (peer = accept(listener, nullptr, nullptr)) >= 0;) {
                std::lock_guard lock(mutex);
                connections.emplace_back([this, peer] { forward(peer); });
            }
        });
    }
    ~AnswerDroppingProxy() {
        stopping = true;
        shutdown(listener, SHUT_RDWR);
        acceptor.join();
        close(listener);
        for (auto& connection : connections) {
            connection.join();
        }
    }
    AnswerDroppingProxy(const AnswerDroppingProxy&) = delete;
    AnswerDroppingProxy& operator=(const AnswerDroppingProxy&) = delete;

    int port = 0;
    std::atomic<int> dropped{0};

private:
    void forward(int client) {
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopbackAddress(target);
        if (connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            close(server);
            close(client);
            return;
        }
        pollfd both[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        char buffer[16384];
        while (!stopping && poll(both, 2, 100) >= 0) {
            if ((both[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const auto got = read(client, buffer, sizeof buffer);
                if (got <= 0 || write(server, buffer, static_cast<std::size_t>(got)) != got) {
                    break;
                }
            }
            if ((both[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const auto got = read(server, buffer, sizeof buffer);
                if (got > 0 && dropped == 0 && answered()) {
                    ++dropped;
                    const linger reset{1, 0};
                    setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                    break;
                }
                if (got <= 0 || write(client, buffer, static_cast<std::size_t>(got)) != got) {
                    break;
                }
            }
        }
        close(server);
        close(client);
    }

    int target;
    std::function<bool()> answered;
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::mutex mutex;
    std::vector<std::thread> connections;
};

class AgentOnServer : public AgentSession {
protected:
    void SetUp() override {
        AgentSession::SetUp();
        // The collector the harness started is not used here.
        collector.reset();
        serverPort = freeLoopbackPort();
        sendTo(serverPort);
    }

    void sendTo(int port) {
        home.set("ULVAREND_COLLECTION_HOST", "127.0.0.1:" + std::to_string(port));
    }

    std::unique_ptr<ServerProcess> makeServer(const std::string& postgresql = "") {
        return std::make_unique<ServerProcess>(
            certificates, ServerOptions{postgresql,
                                        {"--listen", "127.0.0.1:" + std::to_string(serverPort)},
                                        std::string(ULVAREND_COLLECTION_USERNAME) + ":" +
                                            ULVAREND_COLLECTION_PASSWORD});
    }

    int serverPort = 0;
};

TEST_F(AgentOnServer, RecordsSentDirectlyAreStoredOnce) {
    auto server = makeServer();
    ASSERT_TRUE(server->start()) << server->log();
    auto agent = setUpAgent();
    ASSERT_TRUE(waitUntil([&] { return server->rows("device_usages") == 1; }, [] {}, 30s));
    EXPECT_EQ(quit(*agent), 0);
    EXPECT_EQ(server->rows("device_usages"), 2) << "the start and the end of Anna's session";
    EXPECT_EQ(storedRows("device_usages"), 0);
    EXPECT_EQ(server->rows("members"), 1);
}

TEST_F(AgentOnServer, ARecordKeptThroughAnOutageArrivesOnce) {
    auto server = makeServer();
    auto agent = setUpAgent();
    ASSERT_TRUE(waitForStoredRows("device_usages", 1));
    ASSERT_TRUE(server->start()) << server->log();
    ASSERT_TRUE(waitForStoredRows("device_usages", 0, 120s));
    EXPECT_EQ(server->rows("device_usages"), 1);
    EXPECT_EQ(quit(*agent), 0);
}

TEST_F(AgentOnServer, ARecordWhoseAnswerWasLostIsStoredOnce) {
    auto server = makeServer();
    ASSERT_TRUE(server->start()) << server->log();
    AnswerDroppingProxy proxy(serverPort, [&] { return server->rows("device_usages") > 0; });
    sendTo(proxy.port);
    auto agent = setUpAgent();
    // The server has it, the agent does not know: it keeps it and sends it again.
    ASSERT_TRUE(waitForStoredRows("device_usages", 1));
    EXPECT_EQ(proxy.dropped, 1);
    EXPECT_EQ(server->rows("device_usages"), 1);
    ASSERT_TRUE(waitForStoredRows("device_usages", 0, 120s));
    EXPECT_EQ(server->rows("device_usages"), 1);
    EXPECT_EQ(quit(*agent), 0);
    EXPECT_EQ(server->rows("device_usages"), 2);
}

TEST_F(AgentOnServer, RecordsSentWhileTheDatabaseIsStoppedArriveOnceItIsBack) {
    Postgres postgres;
    auto server = makeServer(postgres.connectionString());
    ASSERT_TRUE(server->start()) << server->log();
    postgres.stop();
    auto agent = setUpAgent();
    // Answered 503: the agent keeps the record.
    ASSERT_TRUE(waitForStoredRows("device_usages", 1));
    ASSERT_TRUE(postgres.start()) << postgres.log();
    ASSERT_TRUE(waitForStoredRows("device_usages", 0, 120s));
    EXPECT_EQ(postgres.query("SELECT count(*) FROM device_usages"), "1");
    EXPECT_EQ(quit(*agent), 0);
    EXPECT_EQ(postgres.query("SELECT participant_identifier, event_type FROM device_usages"
                             " ORDER BY id"),
              "p-42:Anna|1\np-42:Anna|0");
}

} // namespace
} // namespace ulvarend::testing
