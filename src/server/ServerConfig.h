#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace ulvarend::server {

struct Listen {
    std::string host;
    int port = 0;
};

struct Credential {
    std::string username;
    std::string password;
};

// Everything a server process is told, from its configuration file, the environment and the
// command line (in that order, later wins). Secrets (the credentials, a PostgreSQL password)
// come only from files and the environment, never from the command line, which `ps` shows.
struct ServerConfig {
    Listen listen{"127.0.0.1", 8443};
    std::string tlsCertificate;
    std::string tlsKey;
    std::string dataDirectory = "/var/lib/ulvarend-server";
    std::string postgresql; // a libpq connection string; empty: the SQLite store
    std::optional<Credential> credentials;
    std::optional<Listen> statusListen = Listen{"127.0.0.1", 8081};
    std::optional<Credential> statusCredentials;
    std::size_t threads = 64;
    std::size_t maxBody = 16 * 1024;
    int requestTimeoutSeconds = 10;
    std::string portFile;       // where the port actually bound is written (tests: port 0)
    std::string statusPortFile; // the same for the status page
};

// Reads `key = value` lines ('#' starts a comment line) into `config`. False, with the file's
// name, the line and the reason in `whyNot`, for a file that cannot be read, an unknown key or a
// value that does not fit its key.
bool readConfigFile(const std::string& path, ServerConfig& config, std::string* whyNot);

// Applies one setting by its configuration key; the same checks as the file.
bool applySetting(const std::string& key, const std::string& value, ServerConfig& config,
                  std::string* whyNot);

// ULVAREND_SERVER_CREDENTIALS, ULVAREND_SERVER_STATUS_CREDENTIALS ("username:password") and
// ULVAREND_SERVER_POSTGRESQL (a connection string), where set.
bool readEnvironment(ServerConfig& config, std::string* whyNot);

// The first line of a credentials file, "username:password" (the user name ends at the first
// ":", as in HTTP Basic authentication).
std::optional<Credential> parseCredential(const std::string& text, std::string* whyNot);

std::optional<Listen> parseListen(const std::string& text, std::string* whyNot);
bool isLoopback(const std::string& host);

} // namespace ulvarend::server
