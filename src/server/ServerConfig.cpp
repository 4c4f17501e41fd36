#include "server/ServerConfig.h"

#include <arpa/inet.h>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace ulvarend::server {
namespace {

bool fail(std::string* whyNot, const std::string& reason) {
    if (whyNot != nullptr) {
        *whyNot = reason;
    }
    return false;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::optional<long long> parseNumber(const std::string& text, long long low, long long high) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<Credential> readCredentialFile(const std::string& path, std::string* whyNot) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) {
        fail(whyNot, "cannot read the credentials file " + path);
        return std::nullopt;
    }
    std::string why;
    auto credential = parseCredential(line, &why);
    if (!credential) {
        fail(whyNot, path + ": " + why);
    }
    return credential;
}

} // namespace

std::optional<Credential> parseCredential(const std::string& text, std::string* whyNot) {
    std::string line = text;
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    const auto colon = line.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == line.size()) {
        fail(whyNot, "credentials must be \"username:password\", both not empty");
        return std::nullopt;
    }
    return Credential{line.substr(0, colon), line.substr(colon + 1)};
}

std::optional<Listen> parseListen(const std::string& text, std::string* whyNot) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        fail(whyNot, "\"" + text + "\" is not host:port");
        return std::nullopt;
    }
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    const auto port = parseNumber(text.substr(colon + 1), 0, 65535);
    if (host.empty() || !port) {
        fail(whyNot, "\"" + text + "\" is not host:port");
        return std::nullopt;
    }
    return Listen{host, static_cast<int>(*port)};
}

bool isLoopback(const std::string& host) {
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

bool applySetting(const std::string& key, const std::string& value, ServerConfig& config,
                  std::string* whyNot) {
    std::string why;
    if (key == "listen") {
        const auto listen = parseListen(value, &why);
        if (!listen) {
            return fail(whyNot, "listen: " + why);
        }
        config.listen = *listen;
    } else if (key == "status_listen") {
        if (value == "off") {
            config.statusListen.reset();
            return true;
        }
        const auto listen = parseListen(value, &why);
        if (!listen) {
            return fail(whyNot, "status_listen: " + why);
        }
        config.statusListen = *listen;
    } else if (key == "tls_certificate") {
        config.tlsCertificate = value;
    } else if (key == "tls_key") {
        config.tlsKey = value;
    } else if (key == "data") {
        config.dataDirectory = value;
    } else if (key == "postgresql") {
        config.postgresql = value;
    } else if (key == "credentials" || key == "status_credentials") {
        auto credential = readCredentialFile(value, &why);
        if (!credential) {
            return fail(whyNot, key + ": " + why);
        }
        (key == "credentials" ? config.credentials : config.statusCredentials) = *credential;
    } else if (key == "threads") {
        const auto number = parseNumber(value, 1, 1024);
        if (!number) {
            return fail(whyNot, "threads: a number from 1 to 1024");
        }
        config.threads = static_cast<std::size_t>(*number);
    } else if (key == "max_body") {
        const auto number = parseNumber(value, 256, 1024 * 1024);
        if (!number) {
            return fail(whyNot, "max_body: a number of bytes from 256 to 1048576");
        }
        config.maxBody = static_cast<std::size_t>(*number);
    } else if (key == "request_timeout") {
        const auto number = parseNumber(value, 1, 300);
        if (!number) {
            return fail(whyNot, "request_timeout: a number of seconds from 1 to 300");
        }
        config.requestTimeoutSeconds = static_cast<int>(*number);
    } else {
        return fail(whyNot, "unknown setting \"" + key + "\"");
    }
    return true;
}

bool readConfigFile(const std::string& path, ServerConfig& config, std::string* whyNot) {
    std::ifstream file(path);
    if (!file) {
        return fail(whyNot, "cannot read " + path);
    }
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        const std::string text = trimmed(line);
        if (text.empty() || text.front() == '#') {
            continue;
        }
        const auto equals = text.find('=');
        std::string why;
        if (equals == std::string::npos) {
            why = "not \"key = value\"";
        } else if (applySetting(trimmed(text.substr(0, equals)), trimmed(text.substr(equals + 1)),
                                config, &why)) {
            continue;
        }
        return fail(whyNot, path + ":" + std::to_string(number) + ": " + why);
    }
    return true;
}

bool readEnvironment(ServerConfig& config, std::string* whyNot) {
    std::string why;
    if (const char* value = std::getenv("ULVAREND_SERVER_CREDENTIALS")) {
        auto credential = parseCredential(value, &why);
        if (!credential) {
            return fail(whyNot, "ULVAREND_SERVER_CREDENTIALS: " + why);
        }
        config.credentials = *credential;
    }
    if (const char* value = std::getenv("ULVAREND_SERVER_STATUS_CREDENTIALS")) {
        auto credential = parseCredential(value, &why);
        if (!credential) {
            return fail(whyNot, "ULVAREND_SERVER_STATUS_CREDENTIALS: " + why);
        }
        config.statusCredentials = *credential;
    }
    if (const char* value = std::getenv("ULVAREND_SERVER_POSTGRESQL")) {
        config.postgresql = value;
    }
    return true;
}

} // namespace ulvarend::server
