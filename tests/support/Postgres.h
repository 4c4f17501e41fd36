#pragma once

// A PostgreSQL server of the test's own: a fresh cluster made with initdb in a temporary folder,
// started with pg_ctl on a free loopback port and removed with the object. PostgreSQL refuses
// to run as root, so under root the cluster belongs to the unprivileged test user.

#include "support/ChildProcess.h"
#include "support/Sway.h"
#include "support/TemporaryHome.h"

#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace ulvarend::testing {

constexpr const char* kPostgresBin = "/usr/lib/postgresql/15/bin/";

// A loopback port nobody listens on at the moment of asking.
inline int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

class Postgres {
public:
    // `durable`: fsync as a production server does (the benchmarks); tests go faster without.
    explicit Postgres(bool durable = false)
        : directory(makeTemporaryFolder("ulvarend-pg-")), port(freeLoopbackPort()),
          fsync(durable ? "on" : "off") {
        if (geteuid() == 0) {
            ensureCompositorUser();
            run("chown " + std::string(kSwayUser) + " " + quoted(directory.string()));
        }
        if (run(as(std::string(kPostgresBin) +
                   "initdb --no-sync -A trust -U postgres -E UTF8 "
                   "--locale=C.UTF-8 -D " +
                   quoted(data()) + " >" + quoted((directory / "initdb.log").string()) +
                   " 2>&1")) != 0) {
            throw std::runtime_error("initdb failed: " + readFile(directory / "initdb.log"));
        }
        if (!start()) {
            throw std::runtime_error("PostgreSQL did not start: " + log());
        }
    }
    ~Postgres() { stop(); }

    bool start() {
        const std::string options = "-p " + std::to_string(port) +
                                    " -c listen_addresses=127.0.0.1 -c fsync=" + fsync +
                                    " -c max_connections=300 -k " + directory.string();
        return run(as(std::string(kPostgresBin) + "pg_ctl -w -t 60 -D " + quoted(data()) + " -l " +
                      quoted((directory / "server.log").string()) + " -o " + quoted(options) +
                      " start >/dev/null")) == 0;
    }

    void stop() {
        run(as(std::string(kPostgresBin) + "pg_ctl -w -m fast -D " + quoted(data()) +
               " stop >/dev/null 2>&1"));
    }

    std::string connectionString() const {
        return "host=127.0.0.1 port=" + std::to_string(port) + " user=postgres dbname=postgres";
    }

    // Runs SQL with psql and answers its unaligned output.
    std::string query(const std::string& sql) const {
        return output("psql -X -A -t -q -d " + quoted(connectionString()) + " -c " + quoted(sql));
    }

    std::string log() const { return readFile(directory / "server.log"); }

private:
    std::string data() const { return (directory / "data").string(); }
    static std::string as(const std::string& command) {
        return geteuid() == 0 ? asUser(kSwayUser, "/bin/sh -c " + quoted(command)) : command;
    }

    std::filesystem::path directory;
    RemovedWhenGone removal{directory};
    int port;
    std::string fsync;
};

} // namespace ulvarend::testing
