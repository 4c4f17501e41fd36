#include "Implementations/RequestHandler.h"

#include "support/Mocks.h"

#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using namespace ::testing;
using namespace std::chrono_literals;
using namespace ulvarend::testing;

TEST(CollectionUrlTest, AcceptsHostsWithPortsAndRejectsAnythingElse) {
    EXPECT_EQ(platform::httpsUrl("127.0.0.1:8443", "/v1/app_usages"),
              "https://127.0.0.1:8443/v1/app_usages");
    EXPECT_EQ(platform::httpsUrl("collect.example.org", "/v1/device_usages"),
              "https://collect.example.org/v1/device_usages");
    EXPECT_EQ(platform::httpsUrl("[::1]:8443", "/v1/app_usages"),
              "https://[::1]:8443/v1/app_usages");
    for (const char* bad : {"", "bad host", "host/extra", "user@host", "host?q", "host#f",
                            "host:99999", "host:port"}) {
        EXPECT_EQ(platform::httpsUrl(bad, "/v1/app_usages"), std::nullopt) << bad;
    }
}

TEST(RequestHandlerTest, BuildsAPostWithJsonBasicAuthAndTheSixtySecondTimeOut) {
    auto client = std::make_shared<StrictMock<MockHttpClient>>();
    auto logger = std::make_shared<StrictMock<MockLogger>>();
    RequestHandler handler(logger, client, "127.0.0.1:8443");
    auto usage = std::make_shared<AppUsage>("p", "Model", TimePoint{}, 2, "org.app", 1500);

    platform::HttpRequest request;
    EXPECT_CALL(*client, start).WillOnce(SaveArg<0>(&request));
    handler.send(usage, UsageType::app, {"a:b", "c:d"}, nullptr, nullptr);

    EXPECT_EQ(request.url, "https://127.0.0.1:8443/v1/app_usages");
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.headers, (platform::HttpHeaders{{"Content-Type", "application/json"}}));
    EXPECT_EQ(request.basicAuth, std::make_pair(std::string("a:b"), std::string("c:d")));
    EXPECT_EQ(request.body, toJson(*usage));
    EXPECT_EQ(request.timeout, std::chrono::seconds{60});
}

TEST(RequestHandlerTest, AHostThatFormsNoUrlIsLoggedAtOnceAndEverySendFails) {
    auto client = std::make_shared<StrictMock<MockHttpClient>>();
    auto logger = std::make_shared<StrictMock<MockLogger>>();
    EXPECT_CALL(*logger, logError("Could not create URL from components: the collection server "
                                  "host \"not a host/\" is not a host name with an optional port"));
    RequestHandler handler(logger, client, "not a host/");
    auto usage = std::make_shared<DeviceUsage>("p", "Model", TimePoint{}, 1, 0);
    std::optional<RequestError> failure;
    handler.send(usage, UsageType::device, {"u", "p"}, nullptr,
                 [&](const std::optional<RequestError>& error) { failure = error; });
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->description, "Could not create URL from components");
}

// Every failed send says why, but a server that stays away does not flood the log.
TEST(RequestHandlerTest, TransportFailuresAreLoggedOncePerKindAMinuteAndTheirEndIsSaid) {
    auto client = std::make_shared<NiceMock<MockHttpClient>>();
    auto logger = std::make_shared<StrictMock<MockLogger>>();
    std::vector<platform::HttpCompletion> completions;
    ON_CALL(*client, start).WillByDefault([&](platform::HttpRequest, platform::HttpCompletion c) {
        completions.push_back(std::move(c));
    });
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours{1};
    RequestHandler handler(logger, client, "127.0.0.1:8443", [&] { return now; });
    const auto outcome = [&](const char* kind, std::chrono::seconds later) {
        now += later;
        handler.send(std::make_shared<DeviceUsage>("p", "Model", TimePoint{}, 1, 0),
                     UsageType::device, {"u", "p"}, nullptr, nullptr);
        platform::HttpOutcome told;
        if (kind == nullptr) {
            told.response = platform::HttpResponse{"https://127.0.0.1:8443/", 200, {}, ""};
        } else {
            told.transportError = std::string(kind) + ": details";
            told.transportErrorKind = kind;
        }
        completions.back()(std::move(told));
    };
    const char* refused = "Couldn't connect to server";
    const char* untrusted = "SSL peer certificate or SSH remote key was not OK";
    {
        InSequence lines;
        EXPECT_CALL(*logger, logError("Sending failed: Couldn't connect to server: details"));
        EXPECT_CALL(*logger, logError("Sending failed: SSL peer certificate or SSH remote key "
                                      "was not OK: details"));
        EXPECT_CALL(*logger, logError("Sending failed: Couldn't connect to server: details "
                                      "(2 more like it since the last such line)"));
        EXPECT_CALL(*logger, logInfo("Sending works again."));
        EXPECT_CALL(*logger, logError("Sending failed: Couldn't connect to server: details"));
    }
    outcome(refused, 0s);
    outcome(refused, 10s);
    outcome(untrusted, 1s);
    outcome(refused, 40s);
    outcome(refused, 9s); // a minute after the first line
    outcome(nullptr, 1s);
    outcome(nullptr, 1s); // said once
    outcome(refused, 1s); // a new run of failures is said at once
}

} // namespace
} // namespace ulvarend
