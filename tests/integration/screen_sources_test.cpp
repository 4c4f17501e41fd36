#include "platform/ScreenSources.h"
#include "support/ChildProcess.h"
#include "support/PrivateBus.h"

#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using namespace ulvarend::testing;

// A private session bus, no system bus, and (for the X test) a private X server.
class ScreenSourcesTest : public ::testing::Test {
protected:
    static inline std::unique_ptr<PrivateBus> bus;
    static inline std::unique_ptr<QCoreApplication> app;
    static inline int argc = 1;
    static inline char name[] = "screen_sources_test";
    static inline char* argv[] = {name, nullptr};

    static void SetUpTestSuite() {
        bus = std::make_unique<PrivateBus>(std::filesystem::temp_directory_path() /
                                           ("ulvarend-bus-" + std::to_string(getpid())));
        setenv("DBUS_SESSION_BUS_ADDRESS", bus->address.c_str(), 1);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/ulvarend-system-bus", 1);
        unsetenv("DISPLAY");
        unsetenv("XDG_SESSION_ID");
        app = std::make_unique<QCoreApplication>(argc, argv);
    }

    static void TearDownTestSuite() {
        app.reset();
        bus.reset();
    }

    std::shared_ptr<platform::ScreenState> state = std::make_shared<platform::ScreenState>();
    std::vector<std::string> events;
    std::vector<std::string> errors;

    void SetUp() override {
        state->addScreensDidSleepObserver([this] { events.push_back("sleep"); });
        state->addScreensDidWakeObserver([this] { events.push_back("wake"); });
    }

    std::unique_ptr<platform::ScreenSources> start() {
        return platform::startScreenSources(
            state, [this](const std::string& error) { errors.push_back(error); });
    }

    // Sends the signal, then lets the event loop run until the events seen reach `expected`.
    void signal(const std::string& path, const std::string& interface, bool active,
                std::size_t expected) {
        ASSERT_EQ(run("dbus-send --session --type=signal " + path + " " + interface +
                      ".ActiveChanged boolean:" + (active ? "true" : "false")),
                  0);
        // The signal carries no reply; a round trip to the bus makes sure it was delivered.
        waitUntil([&] { return events.size() >= expected; },
                  [] { QCoreApplication::processEvents(); }, std::chrono::seconds(2));
    }
};

TEST_F(ScreenSourcesTest, ScreenSaversOnTheSessionBusGiveOneSleepAndOneWakePerTransition) {
    auto sources = start();
    // No system bus here: said once, and the session bus still works.
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("no system bus"), std::string::npos);

    signal("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", true, 1);
    EXPECT_EQ(events, (std::vector<std::string>{"sleep"}));
    EXPECT_TRUE(state->screensAsleep());

    signal("/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", true, 2);
    signal("/ScreenSaver", "org.freedesktop.ScreenSaver", false, 2);
    EXPECT_EQ(events, (std::vector<std::string>{"sleep"})); // the GNOME saver is still on
    signal("/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", false, 2);
    EXPECT_EQ(events, (std::vector<std::string>{"sleep", "wake"}));
    EXPECT_FALSE(state->screensAsleep());
}

TEST_F(ScreenSourcesTest, TheXScreenSaverTurningOnAndOffIsASleepAndAWake) {
    ChildProcess x({"Xvfb", ":93", "-screen", "0", "640x480x24", "-nolisten", "tcp"});
    ASSERT_TRUE(waitUntil([] { return run("xdpyinfo -display :93 >/dev/null 2>&1") == 0; }, [] {}));
    setenv("DISPLAY", ":93", 1);
    auto sources = start();
    unsetenv("DISPLAY");
    EXPECT_EQ(errors.size(), 1u); // only the missing system bus

    ASSERT_EQ(run("xset -display :93 s activate"), 0);
    waitUntil([&] { return events.size() >= 1; }, [] { QCoreApplication::processEvents(); });
    ASSERT_EQ(run("xset -display :93 s reset"), 0);
    waitUntil([&] { return events.size() >= 2; }, [] { QCoreApplication::processEvents(); });
    EXPECT_EQ(events, (std::vector<std::string>{"sleep", "wake"}));

    // A server gone while its saver was on cannot say that it went off: it no longer counts.
    ASSERT_EQ(run("xset -display :93 s activate"), 0);
    waitUntil([&] { return events.size() >= 3; }, [] { QCoreApplication::processEvents(); });
    x.stop();
    waitUntil([&] { return events.size() >= 4; }, [] { QCoreApplication::processEvents(); });
    EXPECT_EQ(events, (std::vector<std::string>{"sleep", "wake", "sleep", "wake"}));
    EXPECT_EQ(errors.size(), 2u); // and the broken connection
    sources.reset();
}

} // namespace
} // namespace ulvarend
