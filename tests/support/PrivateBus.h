#pragma once

#include "support/ChildProcess.h"
#include "support/Wait.h"

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ulvarend::testing {

// Whether a connection to the Unix socket at `path` is taken now. A daemon's socket file
// appears when it binds the name, a moment before it listens there: a client that comes in
// between is refused, so the file alone does not say that the daemon is ready.
inline bool acceptsConnections(const std::filesystem::path& path) {
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    const std::string name = path.string();
    if (name.size() >= sizeof(where.sun_path)) {
        return false;
    }
    std::memcpy(where.sun_path, name.c_str(), name.size() + 1);
    const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client < 0) {
        return false;
    }
    const bool taken =
        ::connect(client, reinterpret_cast<const sockaddr*>(&where), sizeof(where)) == 0;
    ::close(client);
    return taken;
}

// A dbus-daemon of the test's own, listening on `socket`: ready once constructed, gone with the
// object. The test decides which of its buses (session, system) the address stands for.
class PrivateBus {
public:
    explicit PrivateBus(const std::filesystem::path& socket)
        : address("unix:path=" + socket.string()),
          daemon({"dbus-daemon", "--session", "--nofork", "--address=" + address}) {
        if (!waitUntil([&] { return acceptsConnections(socket); }, [] {})) {
            throw std::runtime_error("the test's dbus-daemon did not start on " + socket.string());
        }
    }

    // "unix:path=...", for DBUS_SESSION_BUS_ADDRESS or DBUS_SYSTEM_BUS_ADDRESS.
    const std::string address;

private:
    ChildProcess daemon;
};

} // namespace ulvarend::testing
