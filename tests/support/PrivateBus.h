#pragma once

#include "support/ChildProcess.h"
#include "support/Wait.h"

#include <filesystem>
#include <stdexcept>
#include <string>

namespace ulvarend::testing {

// A dbus-daemon of the test's own, listening on `socket`: ready once constructed, gone with the
// object. The test decides which of its buses (session, system) the address stands for.
class PrivateBus {
public:
    explicit PrivateBus(const std::filesystem::path& socket)
        : address("unix:path=" + socket.string()),
          daemon({"dbus-daemon", "--session", "--nofork", "--address=" + address}) {
        if (!waitUntil([&] { return std::filesystem::exists(socket); }, [] {})) {
            throw std::runtime_error("the test's dbus-daemon did not start on " + socket.string());
        }
    }

    // "unix:path=...", for DBUS_SESSION_BUS_ADDRESS or DBUS_SYSTEM_BUS_ADDRESS.
    const std::string address;

private:
    ChildProcess daemon;
};

} // namespace ulvarend::testing
