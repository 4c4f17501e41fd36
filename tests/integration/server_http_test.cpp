// The built ulvarend-server over HTTPS on 127.0.0.1: what the agent's requests are answered,
// what staff see, and PostgreSQL going away under a running server.

#include "support/ChildProcess.h"
#include "support/Postgres.h"
#include "support/ServerProcess.h"
#include "support/TestCertificates.h"

#include <gtest/gtest.h>

namespace ulvarend::testing {
namespace {

const std::string kApp = R"({"participant_identifier":"h1:Åse","device_model_name":"M",)"
                         R"("user_count":2,"date":"2021-03-01T12:00:00Z","package":"x",)"
                         R"("duration":10})";
const std::string kDevice = R"({"participant_identifier":"h1:Bo","device_model_name":"M",)"
                            R"("user_count":2,"timestamp":"2021-03-01T12:00:00Z",)"
                            R"("event_type":1})";

class ServerHttpTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()) << server.log(); }

    TestCertificates certificates;
    ServerProcess server{certificates};
};

TEST_F(ServerHttpTest, RecordsAreAnswered200AndStoredOnce) {
    EXPECT_EQ(server.post("/v1/app_usages", kApp), 200);
    EXPECT_EQ(server.post("/v1/app_usages", kApp), 200);
    EXPECT_EQ(server.post("/v1/device_usages", kDevice), 200);
    EXPECT_EQ(server.rows("app_usages"), 1);
    EXPECT_EQ(server.rows("device_usages"), 1);
    // Kept across a restart: 200 meant stored.
    server.stop();
    ASSERT_TRUE(server.start());
    EXPECT_EQ(server.post("/v1/app_usages", kApp), 200);
    EXPECT_EQ(server.rows("app_usages"), 1);
}

TEST_F(ServerHttpTest, RequestsTheContractDoesNotAllowAreRefused) {
    auto client = server.client();
    client->set_basic_auth(kServerUser, "wrong");
    EXPECT_EQ(client->Post("/v1/app_usages", kApp, "application/json")->status, 401);
    httplib::SSLClient anonymous("127.0.0.1", server.port);
    anonymous.enable_server_certificate_verification(false);
    EXPECT_EQ(anonymous.Post("/v1/app_usages", kApp, "application/json")->status, 401);
    const auto admitted = server.client();
    EXPECT_EQ(admitted->Post("/v1/app_usages", kApp, "text/plain")->status, 400);
    EXPECT_EQ(server.post("/v1/app_usages", kDevice), 400);
    EXPECT_EQ(server.post("/v1/device_usages", "{\"participant_identifier\":"), 400);
    EXPECT_EQ(server.post("/v1/app_usages", std::string(20000, ' ')), 413);
    EXPECT_EQ(server.post("/v1/other", kApp), 404);
    EXPECT_EQ(admitted->Get("/v1/app_usages")->status, 405);
    EXPECT_EQ(server.rows("app_usages"), 0);
    // Every refused body that came with the credentials is kept for staff to look at.
    EXPECT_EQ(server.rows("quarantine"), 3);
    EXPECT_NE(server.log().find("invalid record path=/v1/app_usages reason=\"missing \\\"date"),
              std::string::npos)
        << server.log();
}

TEST_F(ServerHttpTest, StatusPageNeedsItsOwnCredentialsAndEscapesNames) {
    const std::string hostile = R"({"participant_identifier":"<script>alert(1)</script>:x",)"
                                R"("device_model_name":"M","user_count":1,)"
                                R"("timestamp":"2021-03-01T12:00:00Z","event_type":1})";
    ASSERT_EQ(server.post("/v1/device_usages", hostile), 200);
    ASSERT_EQ(server.post("/v1/app_usages", kApp), 200);
    httplib::Client withRecordCredentials("127.0.0.1", server.statusPort);
    withRecordCredentials.set_basic_auth(kServerUser, kServerPassword);
    EXPECT_EQ(withRecordCredentials.Get("/")->status, 401);
    const std::string page = server.statusPage();
    EXPECT_NE(page.find("<td>&lt;script&gt;alert(1)&lt;/script&gt;</td>"), std::string::npos)
        << page;
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_NE(page.find("<tr><td>h1</td><td class=\"n\">1</td>"), std::string::npos) << page;
}

// The page as a browser draws it: Chromium without a display, its DOM read back and a picture
// of it kept beside the test binary for a person to look at.
TEST_F(ServerHttpTest, StatusPageShowsEveryHouseholdInABrowser) {
    for (const std::string household : {"alpha", "beta", "gamma"}) {
        ASSERT_EQ(server.post("/v1/device_usages",
                              R"({"participant_identifier":")" + household +
                                  R"(:Åse","device_model_name":"M","user_count":1,)"
                                  R"("timestamp":"2021-03-01T12:00:00Z","event_type":1})"),
                  200);
    }
    const auto profile = makeTemporaryFolder("ulvarend-chromium-");
    const std::string url = "http://" + std::string(kStatusUser) +
                            ":another%20secret@127.0.0.1:" + std::to_string(server.statusPort) +
                            "/";
    const std::string chromium = "chromium --headless --no-sandbox --disable-gpu "
                                 "--no-first-run --user-data-dir=" +
                                 quoted(profile.string()) + " ";
    const auto dom = capture(chromium + "--dump-dom " + quoted(url) + " 2>/dev/null");
    const auto screenshot = std::filesystem::current_path() / "server_status_page.png";
    std::filesystem::remove(screenshot);
    run(chromium + "--window-size=1200,800 --screenshot=" + quoted(screenshot.string()) + " " +
        quoted(url) + " >/dev/null 2>&1");
    std::filesystem::remove_all(profile);
    ASSERT_EQ(dom.status, 0);
    EXPECT_NE(dom.out.find("3 households, 0 silent"), std::string::npos) << dom.out;
    for (const std::string household : {"alpha", "beta", "gamma"}) {
        EXPECT_NE(dom.out.find("<tr><td>" + household + "</td><td class=\"n\">1</td>"),
                  std::string::npos)
            << dom.out;
    }
    EXPECT_GT(std::filesystem::file_size(screenshot), 1000u);
}

TEST(ServerStart, PlainHttpIsRefusedOffLoopbackAndCredentialsAreRequired) {
    const auto refused = capture("ULVAREND_SERVER_CREDENTIALS=a:b "
                                 "ULVAREND_SERVER_STATUS_CREDENTIALS=c:d " +
                                 std::string(ULVAREND_SERVER) +
                                 " --config /dev/null --data /tmp/ulvarend-never"
                                 " --listen 0.0.0.0:0 2>&1");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("only on a loopback address"), std::string::npos) << refused.out;
    const auto bare = capture("env -u ULVAREND_SERVER_CREDENTIALS " + std::string(ULVAREND_SERVER) +
                              " --config /dev/null --data /tmp/ulvarend-never"
                              " --listen 127.0.0.1:0 2>&1");
    EXPECT_EQ(bare.status, 1);
    EXPECT_NE(bare.out.find("no credentials"), std::string::npos) << bare.out;
    std::filesystem::remove_all("/tmp/ulvarend-never");
}

// The package's unit and sample configuration, with only the paths moved into a temporary
// folder: the unit's command line starts a server that answers.
TEST(ServerStart, TheUnitsCommandLineStartsWithTheSampleConfiguration) {
    TestCertificates certificates;
    const auto folder = makeTemporaryFolder("ulvarend-etc-");
    const int port = freeLoopbackPort();
    std::string config = readFile(ULVAREND_SERVER_FILES "/server.conf");
    const auto replace = [&](const std::string& from, const std::string& to) {
        for (auto at = config.find(from); at != std::string::npos; at = config.find(from, at)) {
            config.replace(at, from.size(), to);
            at += to.size();
        }
    };
    replace("/etc/ulvarend-server", folder.string());
    replace("/var/lib/ulvarend-server", (folder / "data").string());
    replace("0.0.0.0:443", "127.0.0.1:" + std::to_string(port));
    replace("127.0.0.1:8081", "127.0.0.1:0");
    writeFile(folder / "server.conf", config);
    writeFile(folder / "credentials", std::string(kServerUser) + ":" + kServerPassword + "\n");
    writeFile(folder / "status-credentials", "staff:x\n");
    std::filesystem::copy_file(certificates.serverCertFile(), folder / "server.pem");
    std::filesystem::copy_file(certificates.serverKeyFile(), folder / "server.key");

    const std::string unit = readFile(ULVAREND_SERVER_FILES "/ulvarend-server.service");
    const auto start = unit.find("ExecStart=") + std::string("ExecStart=").size();
    std::string command = unit.substr(start, unit.find('\n', start) - start);
    command.replace(command.find("/usr/bin/ulvarend-server"),
                    std::string("/usr/bin/ulvarend-server").size(), ULVAREND_SERVER);
    command.replace(command.find("/etc/ulvarend-server/server.conf"),
                    std::string("/etc/ulvarend-server/server.conf").size(),
                    (folder / "server.conf").string());
    ChildProcess server(
        {"/bin/sh", "-c", "exec " + command + " 2>" + quoted((folder / "log").string())});
    httplib::SSLClient client("127.0.0.1", port);
    client.set_ca_cert_path(certificates.caFile().c_str());
    client.enable_server_certificate_verification(true);
    client.set_basic_auth(kServerUser, kServerPassword);
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto result = client.Post("/v1/app_usages", kApp, "application/json");
            return result && result->status == 200;
        },
        [] {}, std::chrono::seconds(30)))
        << readFile(folder / "log");
    server.stop();
    EXPECT_TRUE(std::filesystem::exists(folder / "data" / "records.sqlite3"));
    std::filesystem::remove_all(folder);
}

TEST(ServerOnPostgres, ADatabaseThatGoesAwayIsAnswered503AndNothingIsLost) {
    Postgres postgres;
    TestCertificates certificates;
    ServerProcess server(certificates, ServerOptions{postgres.connectionString(), {}});
    ASSERT_TRUE(server.start()) << server.log();
    EXPECT_EQ(server.post("/v1/app_usages", kApp), 200);
    postgres.stop();
    EXPECT_EQ(server.post("/v1/device_usages", kDevice), 503);
    EXPECT_EQ(server.post("/v1/app_usages", kApp), 503);
    ASSERT_TRUE(postgres.start()) << postgres.log();
    // The sender tries again, as the agent does from its store.
    EXPECT_TRUE(waitUntil([&] { return server.post("/v1/device_usages", kDevice) == 200; }, [] {},
                          std::chrono::seconds(30)));
    EXPECT_EQ(server.post("/v1/app_usages", kApp), 200);
    EXPECT_EQ(postgres.query("SELECT count(*) FROM app_usages"), "1");
    EXPECT_EQ(postgres.query("SELECT count(*) FROM device_usages"), "1");
    EXPECT_NE(server.log().find("database unavailable, answering 503"), std::string::npos);
    EXPECT_NE(server.log().find("database available again"), std::string::npos);
}

} // namespace
} // namespace ulvarend::testing
