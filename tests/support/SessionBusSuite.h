#pragma once

#include "support/PrivateBus.h"
#include "support/TemporaryHome.h"

#include <QCoreApplication>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace ulvarend::testing {

// A test suite whose tests share one HOME, a private session bus in it and a QCoreApplication,
// for code that talks to desktop services over D-Bus. Made once per suite, on the test thread.
class SessionBusSuite : public ::testing::Test {
protected:
    static inline std::unique_ptr<TemporaryHome> home;
    static inline std::unique_ptr<PrivateBus> bus;
    static inline std::unique_ptr<QCoreApplication> app;
    // The bus's address, for connections of the test's own.
    static inline std::string address;

    // `prepareHome` writes what must be in HOME before the bus or the application reads it.
    static void startSuite(const std::function<void()>& prepareHome = {}) {
        home = std::make_unique<TemporaryHome>();
        if (prepareHome) {
            prepareHome();
        }
        bus = std::make_unique<PrivateBus>(home->root() / "bus");
        address = bus->address;
        home->set("DBUS_SESSION_BUS_ADDRESS", address);
        app = std::make_unique<QCoreApplication>(argc, argv);
    }

    static void TearDownTestSuite() {
        app.reset();
        bus.reset();
        home.reset();
    }

private:
    static inline int argc = 1;
    static inline char name[] = "ulvarend-test";
    static inline char* argv[] = {name, nullptr};
};

} // namespace ulvarend::testing
