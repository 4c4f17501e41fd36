// ulvarend-server: the collection server a study runs, and its export command.

#include "server/CollectionServer.h"
#include "server/CsvExport.h"
#include "server/RecordStore.h"
#include "server/ServerConfig.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pthread.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <string>

namespace {

using namespace ulvarend;
using namespace ulvarend::server;

constexpr const char* kDefaultConfig = "/etc/ulvarend-server/server.conf";

const char* const kUsage =
    "usage: ulvarend-server [--config FILE] [--data DIR] [--listen HOST:PORT]\n"
    "                       [--status-listen HOST:PORT|off] [--tls-certificate FILE]\n"
    "                       [--tls-key FILE] [--port-file FILE] [--status-port-file FILE]\n"
    "       ulvarend-server export [--config FILE] [--data DIR] --from TIME --to TIME\n"
    "                       --out DIR\n"
    "TIME is 2026-03-01 or 2026-03-01T12:00:00Z (UTC). Credentials are read from the files\n"
    "the configuration names or from ULVAREND_SERVER_CREDENTIALS and\n"
    "ULVAREND_SERVER_STATUS_CREDENTIALS (\"username:password\"), never from the command line;\n"
    "a PostgreSQL connection string from \"postgresql\" or ULVAREND_SERVER_POSTGRESQL.\n";

[[noreturn]] void usageError(const std::string& message) {
    std::fprintf(stderr, "ulvarend-server: %s\n%s", message.c_str(), kUsage);
    std::exit(2);
}

[[noreturn]] void failure(const std::string& message) {
    spdlog::critical("{}", message);
    std::exit(1);
}

std::optional<TimePoint> parseTime(const std::string& text) {
    if (text.size() == 10) {
        return parseRfc3339(text + "T00:00:00Z");
    }
    return parseRfc3339(text);
}

struct Command {
    bool isExport = false;
    ServerConfig config;
    std::optional<TimePoint> from;
    std::optional<TimePoint> to;
    std::string out;
};

Command parseCommand(int argc, char** argv) {
    Command command;
    int first = 1;
    if (argc > 1 && std::string(argv[1]) == "export") {
        command.isExport = true;
        first = 2;
    }
    // The configuration file first, wherever --config stands, so that options override it.
    std::string configFile;
    for (int i = first; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--config") {
            configFile = argv[i + 1];
        }
    }
    std::string whyNot;
    if (configFile.empty() && std::filesystem::exists(kDefaultConfig)) {
        configFile = kDefaultConfig;
    }
    if (!configFile.empty() && !readConfigFile(configFile, command.config, &whyNot)) {
        usageError(whyNot);
    }
    if (!readEnvironment(command.config, &whyNot)) {
        usageError(whyNot);
    }
    for (int i = first; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) {
            usageError("missing value for " + option + " (or unknown option)");
        }
        const std::string value = argv[++i];
        std::string key;
        if (option == "--config") {
            continue;
        } else if (option == "--data") {
            key = "data";
        } else if (!command.isExport && option == "--listen") {
            key = "listen";
        } else if (!command.isExport && option == "--status-listen") {
            key = "status_listen";
        } else if (!command.isExport && option == "--tls-certificate") {
            key = "tls_certificate";
        } else if (!command.isExport && option == "--tls-key") {
            key = "tls_key";
        } else if (!command.isExport && option == "--port-file") {
            command.config.portFile = value;
            continue;
        } else if (!command.isExport && option == "--status-port-file") {
            command.config.statusPortFile = value;
            continue;
        } else if (command.isExport && (option == "--from" || option == "--to")) {
            const auto time = parseTime(value);
            if (!time) {
                usageError(option + " needs a UTC date or time, not \"" + value + "\"");
            }
            (option == "--from" ? command.from : command.to) = time;
            continue;
        } else if (command.isExport && option == "--out") {
            command.out = value;
            continue;
        } else {
            usageError("unknown option " + option);
        }
        if (!applySetting(key, value, command.config, &whyNot)) {
            usageError(whyNot);
        }
    }
    if (command.isExport && (!command.from || !command.to || command.out.empty())) {
        usageError("export needs --from, --to and --out");
    }
    return command;
}

std::shared_ptr<RecordStore> openStore(const ServerConfig& config) {
    try {
        if (!config.postgresql.empty()) {
            return makePostgresStore(config.postgresql, config.threads);
        }
        return makeSqliteStore(config.dataDirectory);
    } catch (const StoreUnavailable& error) {
        failure(error.what());
    }
}

void writePort(const std::string& file, int port) {
    if (file.empty()) {
        return;
    }
    const std::string temporary = file + ".tmp";
    {
        std::ofstream out(temporary);
        out << port << '\n';
    }
    std::filesystem::rename(temporary, file);
}

void setUpLog() {
    auto logger = spdlog::stderr_logger_mt("ulvarend-server");
    // journald stamps each line itself.
    logger->set_pattern(std::getenv("JOURNAL_STREAM") != nullptr ? "[%l] %v"
                                                                 : "%Y-%m-%dT%H:%M:%S.%e [%l] %v");
    spdlog::set_default_logger(logger);
}

int runExport(const Command& command) {
    // An export from a mistyped folder must not make an empty store there and report success.
    if (command.config.postgresql.empty() &&
        !std::filesystem::exists(std::filesystem::path(command.config.dataDirectory) /
                                 "records.sqlite3")) {
        failure("no store in " + command.config.dataDirectory + " (records.sqlite3)");
    }
    const auto store = openStore(command.config);
    std::string whyNot;
    try {
        if (!exportCsv(*store, *command.from, *command.to, command.out, &whyNot)) {
            failure(whyNot);
        }
    } catch (const StoreUnavailable& error) {
        failure(error.what());
    }
    spdlog::info("exported records from {} to {} into {}", formatRfc3339(*command.from),
                 formatRfc3339(*command.to), command.out);
    return 0;
}

int runServer(const Command& command) {
    // Every thread started from here on inherits the blocked mask; this thread takes the
    // signals with sigwait and stops the server in order.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const auto store = openStore(command.config);
    spdlog::info("{} store at schema version {}",
                 command.config.postgresql.empty() ? "SQLite" : "PostgreSQL",
                 store->schemaVersion());
    CollectionServer server(command.config, store);
    std::string whyNot;
    if (!server.start(&whyNot)) {
        failure(whyNot);
    }
    writePort(command.config.portFile, server.port());
    writePort(command.config.statusPortFile, server.statusPort());
    int received = 0;
    sigwait(&signals, &received);
    spdlog::info("stopping on signal {}", received);
    server.stop();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    setUpLog();
    const Command command = parseCommand(argc, argv);
    return command.isExport ? runExport(command) : runServer(command);
}
