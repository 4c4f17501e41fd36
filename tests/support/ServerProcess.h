#pragma once

// The built ulvarend-server as a child process: HTTPS with the test certificates on a loopback
// port it picks, the status page on another, credentials from the environment as a study would
// give them. The binary that includes this defines ULVAREND_SERVER, the built program.

#include "support/ChildProcess.h"
#include "support/TemporaryHome.h"
#include "support/TestCertificates.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <filesystem>
#include <httplib.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace ulvarend::testing {

constexpr const char* kServerUser = "study";
constexpr const char* kServerPassword = "a long secret:with a colon";
constexpr const char* kStatusUser = "staff";
constexpr const char* kStatusPassword = "another secret";

struct ServerOptions {
    std::string postgresql; // empty: SQLite in the process's own data folder
    std::vector<std::string> extraArguments;
    // The pair agents must send, "username:password".
    std::string credentials = std::string(kServerUser) + ":" + kServerPassword;
};

class ServerProcess {
public:
    ServerProcess(const TestCertificates& certificates_, ServerOptions options_ = {})
        : certificates(certificates_), options(std::move(options_)),
          folder(makeTemporaryFolder("ulvarend-server-")) {}
    ~ServerProcess() { stop(); }

    // Starts the server (again, with the same data); false when it did not come up.
    bool start() {
        std::filesystem::remove(folder / "port");
        std::filesystem::remove(folder / "status-port");
        std::vector<std::string> argv = {"/usr/bin/env",
                                         "ULVAREND_SERVER_CREDENTIALS=" + options.credentials,
                                         std::string("ULVAREND_SERVER_STATUS_CREDENTIALS=") +
                                             kStatusUser + ":" + kStatusPassword};
        if (!options.postgresql.empty()) {
            argv.push_back("ULVAREND_SERVER_POSTGRESQL=" + options.postgresql);
        }
        for (const std::string& part :
             {std::string("/bin/sh"),
              std::string("-c"),
              "exec \"$0\" \"$@\" 2>>" + quoted((folder / "server.log").string()),
              std::string(ULVAREND_SERVER),
              std::string("--config"),
              (folder / "none.conf").string(),
              std::string("--data"),
              (folder / "data").string(),
              std::string("--listen"),
              std::string("127.0.0.1:0"),
              std::string("--status-listen"),
              std::string("127.0.0.1:0"),
              std::string("--tls-certificate"),
              certificates.serverCertFile(),
              std::string("--tls-key"),
              certificates.serverKeyFile(),
              std::string("--port-file"),
              (folder / "port").string(),
              std::string("--status-port-file"),
              (folder / "status-port").string()}) {
            argv.push_back(part);
        }
        for (const auto& extra : options.extraArguments) {
            argv.push_back(extra);
        }
        writeFile(folder / "none.conf", "# the test gives everything on the command line\n");
        process = std::make_unique<ChildProcess>(argv);
        const bool up = waitUntil(
            [&] {
                return std::filesystem::exists(folder / "port") &&
                       std::filesystem::exists(folder / "status-port");
            },
            [] {}, std::chrono::seconds(30));
        if (up) {
            port = std::stoi(readFile(folder / "port"));
            statusPort = std::stoi(readFile(folder / "status-port"));
        }
        return up;
    }

    void stop() { process.reset(); }

    // An HTTPS client that trusts only the test CA, as the agent would with ULVAREND_CA_FILE.
    std::unique_ptr<httplib::SSLClient> client() const {
        auto result = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
        result->set_ca_cert_path(certificates.caFile().c_str());
        result->enable_server_certificate_verification(true);
        result->set_basic_auth(kServerUser, kServerPassword);
        return result;
    }

    // POSTs one body as the agent does; the status, or -1 when no answer came.
    int post(const std::string& path, const std::string& body) const {
        const auto result = client()->Post(path.c_str(), body, "application/json");
        return result ? result->status : -1;
    }

    std::string statusPage() const {
        httplib::Client status("127.0.0.1", statusPort);
        status.set_basic_auth(kStatusUser, kStatusPassword);
        const auto result = status.Get("/");
        return result && result->status == 200 ? result->body : std::string();
    }

    std::filesystem::path dataFolder() const { return folder / "data"; }

    // Rows of a table of the SQLite store; 0 before the store exists.
    std::int64_t rows(const std::string& table) const {
        const auto file = dataFolder() / "records.sqlite3";
        if (!std::filesystem::exists(file)) {
            return 0;
        }
        SQLite::Database database(file.string(), SQLite::OPEN_READONLY, 5000);
        return database.execAndGet("SELECT count(*) FROM " + table).getInt64();
    }
    std::string log() const { return readFile(folder / "server.log"); }

    int port = -1;
    int statusPort = -1;

private:
    const TestCertificates& certificates;
    ServerOptions options;
    std::filesystem::path folder;
    RemovedWhenGone removal{folder};
    std::unique_ptr<ChildProcess> process;
};

} // namespace ulvarend::testing
