// Delivery over real HTTPS to a server on 127.0.0.1 with a certificate made for the test.

#include "Implementations/PersistenceHandler.h"
#include "Implementations/RequestHandler.h"
#include "Implementations/SendOrSaveHandler.h"
#include "support/Mocks.h"
#include "support/TemporaryHome.h"
#include "support/TestCertificates.h"
#include "support/Wait.h"

#include <arpa/inet.h>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace ulvarend {
namespace {

using namespace std::chrono_literals;
using namespace ::testing;
using namespace ulvarend::testing;

struct Received {
    std::string path;
    std::multimap<std::string, std::string> headers; // names in lower case
    std::string body;
    std::string remotePort;
};

class TestServer {
public:
    using Behaviour = std::function<void(const httplib::Request&, httplib::Response&)>;

    explicit TestServer(const TestCertificates& certificates)
        : server(certificates.serverCertFile().c_str(), certificates.serverKeyFile().c_str()) {
        server.new_task_queue = [] { return new httplib::ThreadPool(32); };
        server.set_keep_alive_max_count(1000);
        server.set_keep_alive_timeout(30);
        server.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
            Received received{
                request.path, {}, request.body, request.get_header_value("REMOTE_PORT")};
            for (const auto& [name, value] : request.headers) {
                std::string lower = name;
                std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
                received.headers.emplace(lower, value);
            }
            Behaviour current;
            {
                std::lock_guard lock(mutex);
                requests.push_back(std::move(received));
                current = behaviour;
            }
            changed.notify_all();
            response.status = 200;
            if (current) {
                current(request, response);
            }
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        // stop() is ignored until the server runs, and would leave the thread in accept().
        if (!waitUntil([this] { return server.is_running(); }, [] {})) {
            ADD_FAILURE() << "the test server did not start";
        }
    }

    ~TestServer() {
        release();
        server.stop();
        thread.join();
    }

    void setBehaviour(Behaviour next) {
        std::lock_guard lock(mutex);
        behaviour = std::move(next);
    }

    // Ends every handler waiting in waitForRelease.
    void release() {
        {
            std::lock_guard lock(mutex);
            released = true;
        }
        changed.notify_all();
    }

    void waitForRelease() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return released; });
    }

    // True once `count` requests have arrived, false after `timeout`.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return requests.size() >= count; });
    }

    std::vector<Received> received() {
        std::lock_guard lock(mutex);
        return requests;
    }

    std::string host() const { return "127.0.0.1:" + std::to_string(port); }

    int port = 0;

private:
    httplib::SSLServer server;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Received> requests;
    Behaviour behaviour;
    bool released = false;
};

// What became of each send.
class Outcomes {
public:
    SuccessCallback success() {
        return [this] { record({true, std::nullopt, {}}); };
    }
    FailureCallback failure() {
        return [this](const std::optional<RequestError>& error) { record({false, error, {}}); };
    }

    struct Outcome {
        bool succeeded;
        std::optional<RequestError> error;
        std::thread::id thread;
    };

    std::vector<Outcome> waitFor(std::size_t count, std::chrono::seconds timeout = 30s) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, timeout, [&] { return outcomes.size() >= count; });
        return outcomes;
    }

private:
    void record(Outcome outcome) {
        outcome.thread = std::this_thread::get_id();
        // Notified under the lock: a waiter may destroy this object as soon as it wakes.
        std::lock_guard lock(mutex);
        outcomes.push_back(std::move(outcome));
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Outcome> outcomes;
};

std::shared_ptr<AppUsage> appUsage() {
    return std::make_shared<AppUsage>("participant-1", "Model 7",
                                      TimePoint{std::chrono::seconds{1'614'848'887}}, 2,
                                      "org.example.Editor", 61234);
}

std::shared_ptr<DeviceUsage> deviceUsage() {
    return std::make_shared<DeviceUsage>("participant-1", "Model 7",
                                         TimePoint{std::chrono::seconds{1'614'848'887}}, 2, 0);
}

class HttpDeliveryTest : public Test {
protected:
    static void SetUpTestSuite() { certificates = new TestCertificates(); }
    static void TearDownTestSuite() {
        delete certificates;
        certificates = nullptr;
    }

    void SetUp() override {
        // Read once, here on the test's thread, before the client's worker starts.
        setenv("ULVAREND_CA_FILE", certificates->caFile().c_str(), 1);
        server = std::make_unique<TestServer>(*certificates);
        client = platform::makeCurlHttpClient();
        handler = std::make_shared<RequestHandler>(logger, client, server->host());
    }

    void TearDown() override {
        handler.reset();
        client.reset(); // finishes the client's requests before the server goes
        server.reset();
    }

    // What `sender` said of the one app record it was given and failed to send with an error.
    std::string failureSending(RequestHandler& sender) {
        sender.send(appUsage(), UsageType::app, credentials, outcomes.success(),
                    outcomes.failure());
        const auto results = outcomes.waitFor(1);
        if (results.size() != 1 || !results[0].error.has_value()) {
            ADD_FAILURE() << "no single failure with an error";
            return {};
        }
        return results[0].error->description;
    }

    static TestCertificates* certificates;
    std::shared_ptr<StrictMock<MockLogger>> logger = std::make_shared<StrictMock<MockLogger>>();
    std::unique_ptr<TestServer> server;
    std::shared_ptr<platform::HttpClient> client;
    std::shared_ptr<RequestHandler> handler;
    Outcomes outcomes;
    const Credentials credentials{"mor:vik", "Hq3Z:pT8w"};
};

TestCertificates* HttpDeliveryTest::certificates = nullptr;

TEST_F(HttpDeliveryTest, PostsEachKindToItsEndpointWithExactlyTheProgramsHeaders) {
    auto app = appUsage();
    auto device = deviceUsage();
    handler->send(app, UsageType::app, credentials, outcomes.success(), outcomes.failure());
    ASSERT_EQ(outcomes.waitFor(1).size(), 1u);
    handler->send(device, UsageType::device, credentials, outcomes.success(), outcomes.failure());
    const auto results = outcomes.waitFor(2);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_TRUE(results[0].succeeded && results[1].succeeded) << "200 with an empty body";

    const auto requests = server->received();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/v1/app_usages");
    EXPECT_EQ(requests[0].body, toJson(*app));
    EXPECT_EQ(requests[1].path, "/v1/device_usages");
    EXPECT_EQ(requests[1].body, toJson(*device));
    for (const auto& request : requests) {
        std::set<std::string> names;
        for (const auto& [name, value] : request.headers) {
            if (name.rfind("remote_", 0) != 0 && name.rfind("local_", 0) != 0) {
                names.insert(name);
            }
        }
        // What the program sets, plus what the HTTP layer adds of its own.
        EXPECT_EQ(names, (std::set<std::string>{"accept", "authorization", "content-length",
                                                "content-type", "host"}));
        EXPECT_EQ(request.headers.find("content-type")->second, "application/json");
        // base64("mor:vik:Hq3Z:pT8w"): colons in the name and the password are sent as they are.
        EXPECT_EQ(request.headers.find("authorization")->second, "Basic bW9yOnZpazpIcTNaOnBUOHc=");
    }
    // The second record rode on the connection the first one opened.
    EXPECT_EQ(requests[0].remotePort, requests[1].remotePort);
}

TEST_F(HttpDeliveryTest, StatusOtherThan200IsLoggedOnceAndFailsWithoutError) {
    // A redirect is an answer like any other, never followed to wherever it points.
    for (int status : {201, 500, 302}) {
        server->setBehaviour([status](const httplib::Request&, httplib::Response& response) {
            response.status = status;
            if (status == 302) {
                response.set_header("Location", "/elsewhere");
            }
        });
        Outcomes these;
        EXPECT_CALL(*logger,
                    logError(AllOf(StartsWith("Received Error Response: "),
                                   HasSubstr("https://" + server->host() + "/v1/app_usages"),
                                   HasSubstr(std::to_string(status)))))
            .Times(1);
        handler->send(appUsage(), UsageType::app, credentials, these.success(), these.failure());
        const auto results = these.waitFor(1);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_FALSE(results[0].succeeded);
        EXPECT_FALSE(results[0].error.has_value());
        // One outcome per request: neither a second failure nor a success comes after it.
        EXPECT_EQ(these.waitFor(2, 1s).size(), 1u);
        Mock::VerifyAndClearExpectations(logger.get());
    }
    for (const auto& request : server->received()) {
        EXPECT_EQ(request.path, "/v1/app_usages");
    }
}

TEST_F(HttpDeliveryTest, ALongAnswerIsReadButOnlyItsStartKept) {
    // Far more than any answer to a record; what is kept of it still reads as text.
    server->setBehaviour([](const httplib::Request&, httplib::Response& response) {
        std::string body(18 * 1024 * 1024, '\xA5');
        for (std::size_t i = 0; i < body.size(); i += 2) {
            body[i] = '\xC3';
        }
        response.set_content(body, "text/plain");
    });
    handler->send(appUsage(), UsageType::app, credentials, outcomes.success(), outcomes.failure());
    auto results = outcomes.waitFor(1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].succeeded);

    std::promise<platform::HttpOutcome> answered;
    const auto client = platform::makeCurlHttpClient();
    platform::HttpRequest request;
    request.url = "https://" + server->host() + "/v1/app_usages";
    request.body = "{}";
    client->start(request,
                  [&](platform::HttpOutcome outcome) { answered.set_value(std::move(outcome)); });
    auto outcome = answered.get_future().get();
    ASSERT_TRUE(outcome.response.has_value());
    EXPECT_LE(outcome.response->body.size(), 64u * 1024);
    EXPECT_GE(outcome.response->body.size(), 64u * 1024 - 2);
    EXPECT_TRUE(outcome.response->body.ends_with("\xC3\xA5"));
}

TEST_F(HttpDeliveryTest, ACompletionThatThrowsIsReportedAndTheClientGoesOn) {
    std::promise<std::string> reported;
    const auto client =
        platform::makeCurlHttpClient([&](const std::string& line) { reported.set_value(line); });
    platform::HttpRequest request;
    request.url = "https://" + server->host() + "/v1/app_usages";
    request.body = "{}";
    client->start(request, [](platform::HttpOutcome) { throw std::runtime_error("faulty"); });
    auto report = reported.get_future();
    ASSERT_EQ(report.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(report.get(), "HTTP completion threw: faulty");
    std::promise<bool> answered;
    client->start(request, [&](platform::HttpOutcome outcome) {
        answered.set_value(outcome.response.has_value());
    });
    auto answer = answered.get_future();
    ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(answer.get());
}

TEST_F(HttpDeliveryTest, BodyThatIsNotUtf8FailsWithoutLogging) {
    server->setBehaviour([](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string("ok \xC3\x28 \xFF"), "text/plain");
    });
    handler->send(appUsage(), UsageType::app, credentials, outcomes.success(), outcomes.failure());
    const auto results = outcomes.waitFor(1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_FALSE(results[0].succeeded);
    EXPECT_FALSE(results[0].error.has_value());
}

TEST_F(HttpDeliveryTest, UntrustedCertificateIsATransportFailureAndTheRecordIsSaved) {
    setenv("ULVAREND_CA_FILE", certificates->untrustedCaFile().c_str(), 1);
    auto untrusting =
        std::make_shared<RequestHandler>(logger, platform::makeCurlHttpClient(), server->host());
    auto store = std::make_shared<StrictMock<MockPersistenceHandler>>();
    auto settings = std::make_shared<NiceMock<MockSettings>>();
    ON_CALL(*settings, credentials()).WillByDefault(Return(credentials));
    auto policy = std::make_shared<SendOrSaveHandler>(logger, store, untrusting, settings);

    auto usage = appUsage();
    std::promise<void> saved;
    // Said once with the library's reason, however many records it refuses within a minute.
    EXPECT_CALL(*logger, logError(AllOf(StartsWith("Sending failed: SSL peer certificate"),
                                        HasSubstr("SSL certificate problem"))));
    EXPECT_CALL(*store, save(Ref(*usage))).WillOnce(Return(true));
    EXPECT_CALL(*logger, logUsage(Ref(*usage), UsageLogType::saved)).WillOnce([&] {
        saved.set_value();
    });
    policy->sendOrSave(usage, /*fromPersistence=*/false);
    ASSERT_EQ(saved.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(server->received().empty());

    EXPECT_THAT(failureSending(*untrusting), HasSubstr("SSL"));
}

TEST_F(HttpDeliveryTest, ACertificateOfTheTrustedAuthorityForAnotherHostIsRefused) {
    // The certificate names 127.0.0.1; asked for as localhost, the same server is another host.
    auto elsewhere = std::make_shared<RequestHandler>(logger, client,
                                                      "localhost:" + std::to_string(server->port));
    EXPECT_CALL(*logger, logError(AllOf(StartsWith("Sending failed: "), HasSubstr("localhost"),
                                        HasSubstr("certificate"))));
    EXPECT_THAT(failureSending(*elsewhere), HasSubstr("localhost"));
    EXPECT_TRUE(server->received().empty());
}

TEST_F(HttpDeliveryTest, RefusedConnectionIsATransportFailure) {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    close(probe); // nothing listens there now
    RequestHandler refused(logger, client, "127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    EXPECT_CALL(*logger, logError(StartsWith("Sending failed: Couldn't connect to server")));

    refused.send(deviceUsage(), UsageType::device, credentials, outcomes.success(),
                 outcomes.failure());
    const auto results = outcomes.waitFor(1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_FALSE(results[0].succeeded);
    EXPECT_TRUE(results[0].error.has_value());
}

TEST_F(HttpDeliveryTest, TwentyRequestsInFlightCompleteOnTheWorkerThread) {
    constexpr std::size_t kCount = 20;
    // No answer until all twenty have arrived: they must be in flight together.
    server->setBehaviour([this](const httplib::Request&, httplib::Response& response) {
        if (!server->waitForRequests(kCount, 30s)) {
            response.status = 503;
        }
    });
    for (std::size_t i = 0; i < kCount; ++i) {
        handler->send(appUsage(), UsageType::app, credentials, outcomes.success(),
                      outcomes.failure());
    }
    const auto results = outcomes.waitFor(kCount, 60s);
    ASSERT_EQ(results.size(), kCount);
    for (const auto& result : results) {
        EXPECT_TRUE(result.succeeded);
        EXPECT_EQ(result.thread, results[0].thread);
    }
    EXPECT_NE(results[0].thread, std::this_thread::get_id());
}

TEST_F(HttpDeliveryTest, StoppingTheClientFailsRequestsStillRunning) {
    // The handler keeps the server itself, not the test's pointer that TearDown resets.
    server->setBehaviour(
        [s = server.get()](const httplib::Request&, httplib::Response&) { s->waitForRelease(); });
    handler->send(appUsage(), UsageType::app, credentials, outcomes.success(), outcomes.failure());
    ASSERT_TRUE(server->waitForRequests(1, 30s));
    EXPECT_CALL(*logger, logError("Sending failed: The HTTP client stopped before the request "
                                  "finished"));
    handler.reset();
    client.reset();
    const auto results = outcomes.waitFor(1, 0s);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].error.has_value());
}

TEST_F(HttpDeliveryTest, ServerThatNeverAnswersTimesOutAfterSixtySeconds) {
    // The handler keeps the server itself, not the test's pointer that TearDown resets.
    server->setBehaviour(
        [s = server.get()](const httplib::Request&, httplib::Response&) { s->waitForRelease(); });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_CALL(*logger, logError(StartsWith("Sending failed: Timeout was reached")));
    handler->send(appUsage(), UsageType::app, credentials, outcomes.success(), outcomes.failure());
    const auto results = outcomes.waitFor(1, 120s);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 59s);
    ASSERT_TRUE(results[0].error.has_value());
    EXPECT_THAT(results[0].error->description, HasSubstr("Timeout"));
}

TEST_F(HttpDeliveryTest, TwoThousandRecordsThroughAServerFailingEveryThirdAreReceivedOrStored) {
    TemporaryHome home;
    auto quiet = std::make_shared<NiceMock<MockLogger>>();
    auto settings = std::make_shared<NiceMock<MockSettings>>();
    ON_CALL(*settings, credentials()).WillByDefault(Return(credentials));
    auto store = std::make_shared<PersistenceHandler>(quiet, settings);
    std::atomic<std::size_t> saved{0};
    ON_CALL(*quiet, logUsage(_, UsageLogType::saved)).WillByDefault([&] { ++saved; });
    auto requests = std::make_shared<RequestHandler>(quiet, client, server->host());
    auto policy = std::make_shared<SendOrSaveHandler>(quiet, store, requests, settings);

    std::mutex acceptedMutex;
    std::set<std::int64_t> accepted;
    std::atomic<int> seen{0};
    server->setBehaviour([&](const httplib::Request& request, httplib::Response& response) {
        if (++seen % 3 == 0) {
            response.status = 500;
            return;
        }
        const auto body = nlohmann::json::parse(request.body);
        std::lock_guard lock(acceptedMutex);
        accepted.insert(body["duration"].get<std::int64_t>());
    });

    constexpr std::int64_t kRecords = 2000;
    constexpr std::int64_t kBurst = 50; // records close together, as after a long offline spell
    auto accounted = [&] {
        std::set<std::int64_t> all;
        {
            std::lock_guard lock(acceptedMutex);
            all = accepted;
        }
        for (const auto& stored : store->fetchAllAppUsages(kRecords)) {
            all.insert(stored->duration);
        }
        return all;
    };
    for (std::int64_t first = 0; first < kRecords; first += kBurst) {
        for (std::int64_t i = first; i < first + kBurst; ++i) {
            policy->sendOrSave(std::make_shared<AppUsage>("participant-1", "Model 7",
                                                          TimePoint{std::chrono::seconds{i}}, 1,
                                                          "org.example.Editor", i),
                               false);
        }
        waitUntil(
            [&] {
                std::lock_guard lock(acceptedMutex);
                return accepted.size() + saved >= static_cast<std::size_t>(first + kBurst);
            },
            [] {}, 60s);
    }
    const auto all = accounted();
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kRecords));
    EXPECT_EQ(*all.begin(), 0);
    EXPECT_EQ(*all.rbegin(), kRecords - 1);
    std::lock_guard lock(acceptedMutex);
    EXPECT_GT(accepted.size(), static_cast<std::size_t>(kRecords / 2));
}

} // namespace
} // namespace ulvarend
