#include "Implementations/RequestHandler.h"

#include "support/Mocks.h"

#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using namespace ::testing;
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

TEST(RequestHandlerDeathTest, HostThatFormsNoUrlStopsTheProcess) {
    auto client = std::make_shared<NiceMock<MockHttpClient>>();
    auto logger = std::make_shared<NiceMock<MockLogger>>();
    RequestHandler handler(logger, client, "not a host/");
    auto usage = std::make_shared<DeviceUsage>("p", "Model", TimePoint{}, 1, 0);
    EXPECT_DEATH(handler.send(usage, UsageType::device, {"u", "p"}, nullptr, nullptr),
                 "Could not create URL from components");
}

} // namespace
} // namespace ulvarend
