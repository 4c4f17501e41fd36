#pragma once

// The agent in an X session: Xvfb with openbox, next to what every agent session has.

#include "support/AgentHarness.h"
#include "support/XServer.h"

#include <gtest/gtest.h>
#include <map>

namespace ulvarend::testing {

using namespace std::chrono_literals;

class AgentSession : public AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        x.startWindowManager();
        home.set("DISPLAY", x.display());
        unsetenv("WAYLAND_DISPLAY");
        home.set("QT_QPA_PLATFORM", "xcb");
    }

    // A second invocation, as the desktop makes when a link is opened; its exit status.
    int invoke(const std::optional<std::string>& link) {
        return run(quoted(ULVAREND_AGENT) + (link ? " " + quoted(*link) : "") + " >>" +
                   quoted(home.root() / "agent.out") + " 2>&1");
    }

    // The visible windows titled `title`, one X window id per line.
    std::string visibleWindows(const std::string& title) {
        return output("DISPLAY=" + x.display() + " xdotool search --onlyvisible --name '^" + title +
                      "$' 2>/dev/null");
    }

    // The X window id of the window in front.
    std::string activeWindow() {
        return output("DISPLAY=" + x.display() + " xdotool getactivewindow 2>/dev/null");
    }

    static std::string link(const std::string& arguments) {
        return output(quoted(ULVAREND_LINK_TOOL) + " --participant p-42 " + arguments);
    }

    // Presses Return in the agent's alert that is showing, then waits for it to go, so that
    // the next answer cannot reach the same alert.
    void answerAlert() {
        const std::string display = "DISPLAY=" + x.display() + " ";
        // Looked for again and again rather than with --sync: xdotool gives up on the whole
        // search when a window goes away while it walks the tree, as the last alert may.
        std::string window;
        ASSERT_TRUE(waitUntil(
            [&] {
                window = output(display + "xdotool search --onlyvisible --limit 1 "
                                          "--name '^Ulvarend$' 2>/dev/null");
                return !window.empty();
            },
            pauseFor(100ms), 30s));
        run(display + "xdotool windowactivate --sync " + window + " key Return >/dev/null 2>&1");
        ASSERT_TRUE(waitUntil(
            [&] {
                const auto visible = output(
                    display + "xdotool search --onlyvisible --name '^Ulvarend$' 2>/dev/null");
                return ("\n" + visible + "\n").find("\n" + window + "\n") == std::string::npos;
            },
            pauseFor(50ms)));
    }

    // An agent set up through a link at launch for a one-member household and a period of
    // `days`, its two setup alerts answered; with days left, it tracks once this returns.
    std::unique_ptr<ChildProcess> setUpAgent(const std::string& type = "Device", int days = 14) {
        auto agent =
            startAgent(link("--type " + type + " --days " + std::to_string(days) + " Anna"));
        EXPECT_TRUE(waitForLog("App has not been setup."));
        answerAlert(); // "Klar til opsætning"
        EXPECT_TRUE(waitForLog("App is setup!"));
        answerAlert(); // "Opsætning færdiggjort"
        return agent;
    }

    // A window of a test application whose class names it.
    std::string showWindow(const std::string& application) {
        const std::string display = "DISPLAY=" + x.display() + " ";
        run(display + "xmessage -name " + application + " -geometry 300x100 " + application +
            " >/dev/null 2>&1 &");
        const auto window =
            output(display + "xdotool search --sync --limit 1 --classname '^" + application + "$'");
        run(display + "xdotool set_window --class " + application + " " + window);
        return window;
    }

    void activate(const std::string& window) {
        ASSERT_EQ(run("DISPLAY=" + x.display() + " xdotool windowactivate --sync " + window +
                      " >/dev/null 2>&1"),
                  0);
    }

    void screenSaver(bool active) {
        ASSERT_EQ(run("dbus-send --session --type=signal /org/freedesktop/ScreenSaver "
                      "org.freedesktop.ScreenSaver.ActiveChanged boolean:" +
                      std::string(active ? "true" : "false")),
                  0);
    }

    XServer x;
};

} // namespace ulvarend::testing
