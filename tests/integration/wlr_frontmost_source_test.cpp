#include "platform/FrontmostApplicationSource.h"
#include "support/ChildProcess.h"
#include "support/Sway.h"
#include "support/XServer.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace ulvarend::platform {
namespace {

using namespace ulvarend::testing;

class WlrFrontmostSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("DISPLAY");
        if (!sway.start()) {
            GTEST_SKIP() << "headless sway does not start here";
        }
        sway.use();
    }

    std::optional<std::string> frontmost(FrontmostApplicationSource& source) {
        auto application = source.frontmostApplication();
        if (!application) {
            return std::nullopt;
        }
        return application->identifier.value_or("(none)");
    }

    bool showsFront(FrontmostApplicationSource& source,
                    const std::optional<std::string>& expected) {
        return waitUntil([&] { return frontmost(source) == expected; }, [] {});
    }

    Sway sway;
    std::vector<std::string> errors;
    bool asleep = false;
};

TEST_F(WlrFrontmostSourceTest, TheActivatedToplevelIsInFrontAndTheLockScreenWhileAsleep) {
    auto wlr = makeWlrFrontmostSource([this](const std::string& e) { errors.push_back(e); });
    ASSERT_NE(wlr, nullptr);
    auto source = showLockScreenWhileAsleep(std::move(wlr), [this] { return asleep; });
    EXPECT_EQ(frontmost(*source), std::nullopt); // an empty desktop

    auto alpha = sway.client("org.example.Alpha");
    EXPECT_TRUE(showsFront(*source, "org.example.Alpha"));
    auto beta = sway.client("org.example.Beta");
    EXPECT_TRUE(showsFront(*source, "org.example.Beta"));
    const auto betaWindow = source->frontmostApplication().value_or(FrontmostApplication{}).window;
    ASSERT_EQ(sway.focus("org.example.Alpha"), 0);
    EXPECT_TRUE(showsFront(*source, "org.example.Alpha"));
    const auto alphaWindow = source->frontmostApplication().value_or(FrontmostApplication{}).window;
    ASSERT_EQ(sway.focus("org.example.Beta"), 0);
    EXPECT_TRUE(showsFront(*source, "org.example.Beta"));
    // Each window is told apart, and keeps what tells it apart.
    ASSERT_TRUE(alphaWindow.has_value() && betaWindow.has_value());
    EXPECT_NE(alphaWindow, betaWindow);
    EXPECT_EQ(source->frontmostApplication().value_or(FrontmostApplication{}).window, betaWindow);

    asleep = true;
    const auto locked = source->frontmostApplication();
    ASSERT_TRUE(locked.has_value());
    EXPECT_TRUE(locked->isLockScreen);
    asleep = false;

    // An app id longer than any real one names nothing.
    {
        const std::string overlong(2000, 'a');
        auto gamma = sway.client(overlong);
        EXPECT_TRUE(showsFront(*source, "(none)"));
    }
    EXPECT_TRUE(showsFront(*source, "org.example.Beta"));

    // The focused window closing hands the focus to the other one.
    beta.reset();
    EXPECT_TRUE(showsFront(*source, "org.example.Alpha"));
    alpha.reset();
    EXPECT_TRUE(showsFront(*source, std::nullopt));
    EXPECT_TRUE(errors.empty());
}

TEST_F(WlrFrontmostSourceTest, ALostCompositorIsReportedOnceAndANewOneIsFoundOnALaterPoll) {
    auto source = makeWlrFrontmostSource([this](const std::string& e) { errors.push_back(e); });
    ASSERT_NE(source, nullptr);
    auto alpha = sway.client("org.example.Alpha");
    ASSERT_TRUE(showsFront(*source, "org.example.Alpha"));

    alpha.reset();
    sway.stop();
    EXPECT_TRUE(waitUntil([&] { return !errors.empty(); },
                          [&] { EXPECT_EQ(source->frontmostApplication(), std::nullopt); }));
    for (int poll = 0; poll < 20; ++poll) {
        EXPECT_FALSE(source->frontmostApplication());
    }
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Wayland compositor " + sway.display), std::string::npos);

    ASSERT_TRUE(sway.start());
    auto beta = sway.client("org.example.Beta");
    EXPECT_TRUE(showsFront(*source, "org.example.Beta"));
    EXPECT_EQ(errors.size(), 1u);
}

TEST_F(WlrFrontmostSourceTest, TheChainNeverTakesX11InAWaylandSession) {
    std::vector<std::string> infos;
    auto info = [&](const std::string& line) { infos.push_back(line); };
    auto error = [this](const std::string& e) { errors.push_back(e); };

    XServer x;
    setenv("DISPLAY", x.display().c_str(), 1);
    auto chosen = makeFrontmostSourceChain(nullptr, error, info);
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0], "Frontmost application source: wlroots Wayland (" + sway.display + ")");
    auto alpha = sway.client("org.example.Alpha");
    EXPECT_TRUE(showsFront(*chosen, "org.example.Alpha"));

    // A compositor without the protocol, as GNOME or Plasma without our helpers: XWayland
    // would show only some windows, so nothing is taken and each candidate says why.
    setenv("WAYLAND_DISPLAY", "wayland-nobody-here", 1);
    chosen = makeFrontmostSourceChain([] { return true; }, error, info);
    EXPECT_EQ(infos.size(), 1u);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("No source for the frontmost application: wlroots Wayland "
                             "(wayland-nobody-here): "),
              std::string::npos)
        << errors[0];
    EXPECT_NE(errors[0].find("; KDE Plasma (KWin): "), std::string::npos) << errors[0];
    EXPECT_NE(errors[0].find("; GNOME Shell: "), std::string::npos) << errors[0];
    // Nothing is recorded at all, not even the lock screen.
    EXPECT_EQ(chosen->frontmostApplication(), std::nullopt);

    // The session type alone makes it a Wayland session.
    unsetenv("WAYLAND_DISPLAY");
    setenv("XDG_SESSION_TYPE", "wayland", 1);
    chosen = makeFrontmostSourceChain(nullptr, error, info);
    EXPECT_EQ(infos.size(), 1u);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[1].find("WAYLAND_DISPLAY is not set"), std::string::npos) << errors[1];

    setenv("XDG_SESSION_TYPE", "x11", 1);
    chosen = makeFrontmostSourceChain(nullptr, error, info);
    ASSERT_EQ(infos.size(), 2u);
    EXPECT_EQ(infos[1], "Frontmost application source: X11 (" + x.display() + ")");
    unsetenv("XDG_SESSION_TYPE");
    unsetenv("DISPLAY");
}

} // namespace
} // namespace ulvarend::platform
