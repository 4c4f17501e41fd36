#include "platform/linux/WlrWorkspace.h"
#include "platform/linux/WorkspaceChain.h"
#include "support/ChildProcess.h"
#include "support/XServer.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace ulvarend::platform {
namespace {

using namespace ulvarend::testing;

// sway refuses to run as root, so a root test runs it as this user of its own.
constexpr const char* kUser = "ulvarend-test";

// Headless sway on a runtime directory of its own; the test process talks to it there.
class Sway {
public:
    Sway() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ulvarend-wl-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary directory");
        }
        runtime = pattern;
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
        if (geteuid() == 0) {
            if (getpwnam(kUser) == nullptr) {
                run(std::string("useradd --system --no-create-home --shell /usr/sbin/nologin ") +
                    kUser);
            }
            run("chown " + std::string(kUser) + " " + runtime.string());
        }
    }
    ~Sway() {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(runtime, ignored);
    }

    // Starts sway, which takes the first free name (wayland-1 in a fresh directory, and the
    // same again after it exited); false when it did not come up.
    bool start() {
        std::string command = "env -i PATH=/usr/bin:/bin HOME=" + runtime.string() +
                              " XDG_RUNTIME_DIR=" + runtime.string() +
                              " WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 "
                              "WLR_RENDERER=pixman sway -c /dev/null "
                              ">/dev/null 2>&1";
        if (geteuid() == 0) {
            command = "runuser -u " + std::string(kUser) + " -- " + command;
        }
        compositor = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/bin/sh", "-c", "exec " + command});
        return waitUntil([&] { return !swaySocket().empty() && findDisplay(); }, [] {});
    }

    void stop() {
        if (compositor) {
            run("SWAYSOCK=" + swaySocket() + " swaymsg exit >/dev/null 2>&1");
            compositor.reset();
            for (const auto& entry : std::filesystem::directory_iterator(runtime)) {
                if (entry.path().filename().string().rfind("sway-ipc", 0) == 0) {
                    std::filesystem::remove(entry.path());
                }
            }
        }
    }

    // A foot terminal named `appId`, run as the test process.
    std::unique_ptr<ChildProcess> client(const std::string& appId) const {
        return std::make_unique<ChildProcess>(std::vector<std::string>{
            "/bin/sh", "-c",
            "exec env HOME=" + runtime.string() + " XDG_CONFIG_HOME=" + runtime.string() +
                " XDG_RUNTIME_DIR=" + runtime.string() + " WAYLAND_DISPLAY=" + display +
                " foot --app-id=" + appId + " sleep 600 >/dev/null 2>&1"});
    }

    int focus(const std::string& appId) const {
        return run("SWAYSOCK=" + swaySocket() + " swaymsg '[app_id=\"" + appId +
                   "\"] focus' >/dev/null 2>&1");
    }

    // Makes this compositor the one the process is told about.
    void use() const {
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("WAYLAND_DISPLAY", display.c_str(), 1);
    }

    std::string swaySocket() const {
        for (const auto& entry : std::filesystem::directory_iterator(runtime)) {
            if (entry.path().filename().string().rfind("sway-ipc", 0) == 0) {
                return entry.path().string();
            }
        }
        return "";
    }

private:
    bool findDisplay() {
        for (const auto& entry : std::filesystem::directory_iterator(runtime)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("wayland-", 0) == 0 && entry.is_socket()) {
                display = name;
                return true;
            }
        }
        return false;
    }

public:
    std::string display;

private:
    std::filesystem::path runtime;
    std::unique_ptr<ChildProcess> compositor;
};

class WaylandWorkspaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("DISPLAY");
        if (!sway.start()) {
            GTEST_SKIP() << "headless sway does not start here";
        }
        sway.use();
    }

    std::optional<std::string> frontmost(Workspace& workspace) {
        auto application = workspace.frontmostApplication();
        if (!application) {
            return std::nullopt;
        }
        return application->identifier.value_or("(none)");
    }

    bool showsFront(Workspace& workspace, const std::optional<std::string>& expected) {
        return waitUntil([&] { return frontmost(workspace) == expected; }, [] {});
    }

    Sway sway;
    std::vector<std::string> errors;
    bool asleep = false;
};

TEST_F(WaylandWorkspaceTest, TheActivatedToplevelIsInFrontAndTheLockScreenWhileAsleep) {
    auto workspace = makeWlrWorkspace([this] { return asleep; },
                                      [this](const std::string& e) { errors.push_back(e); });
    ASSERT_NE(workspace, nullptr);
    EXPECT_EQ(frontmost(*workspace), std::nullopt); // an empty desktop

    auto alpha = sway.client("org.example.Alpha");
    EXPECT_TRUE(showsFront(*workspace, "org.example.Alpha"));
    auto beta = sway.client("org.example.Beta");
    EXPECT_TRUE(showsFront(*workspace, "org.example.Beta"));
    ASSERT_EQ(sway.focus("org.example.Alpha"), 0);
    EXPECT_TRUE(showsFront(*workspace, "org.example.Alpha"));
    ASSERT_EQ(sway.focus("org.example.Beta"), 0);
    EXPECT_TRUE(showsFront(*workspace, "org.example.Beta"));

    asleep = true;
    EXPECT_EQ(frontmost(*workspace), std::string(kLockScreenIdentifier));
    asleep = false;

    // The focused window closing hands the focus to the other one.
    beta.reset();
    EXPECT_TRUE(showsFront(*workspace, "org.example.Alpha"));
    alpha.reset();
    EXPECT_TRUE(showsFront(*workspace, std::nullopt));
    EXPECT_TRUE(errors.empty());
}

TEST_F(WaylandWorkspaceTest, ALostCompositorIsReportedOnceAndANewOneIsFoundOnALaterPoll) {
    auto workspace =
        makeWlrWorkspace(nullptr, [this](const std::string& e) { errors.push_back(e); });
    ASSERT_NE(workspace, nullptr);
    auto alpha = sway.client("org.example.Alpha");
    ASSERT_TRUE(showsFront(*workspace, "org.example.Alpha"));

    alpha.reset();
    sway.stop();
    EXPECT_TRUE(waitUntil([&] { return !errors.empty(); },
                          [&] { EXPECT_EQ(workspace->frontmostApplication(), std::nullopt); }));
    for (int poll = 0; poll < 20; ++poll) {
        EXPECT_FALSE(workspace->frontmostApplication());
    }
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Wayland compositor " + sway.display), std::string::npos);

    ASSERT_TRUE(sway.start());
    auto beta = sway.client("org.example.Beta");
    EXPECT_TRUE(showsFront(*workspace, "org.example.Beta"));
    EXPECT_EQ(errors.size(), 1u);
}

TEST_F(WaylandWorkspaceTest, TheChainTakesWlrootsUnderSwayAndX11WithoutIt) {
    std::vector<std::string> infos;
    auto info = [&](const std::string& line) { infos.push_back(line); };
    auto error = [this](const std::string& e) { errors.push_back(e); };

    XServer x;
    setenv("DISPLAY", x.display().c_str(), 1);
    auto chosen = makeWorkspaceChain(nullptr, error, info);
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0], "Frontmost application source: wlroots Wayland (" + sway.display + ")");
    auto alpha = sway.client("org.example.Alpha");
    EXPECT_TRUE(showsFront(*chosen, "org.example.Alpha"));

    // A compositor that is not there, as on a desktop without the protocol: X11 is taken.
    setenv("WAYLAND_DISPLAY", "wayland-nobody-here", 1);
    chosen = makeWorkspaceChain(nullptr, error, info);
    ASSERT_EQ(infos.size(), 2u);
    EXPECT_EQ(infos[1], "Frontmost application source: X11 (" + x.display() + ")");

    unsetenv("WAYLAND_DISPLAY");
    unsetenv("DISPLAY");
    chosen = makeWorkspaceChain([] { return true; }, error, info);
    EXPECT_EQ(infos.size(), 2u);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("No source for the frontmost application"), std::string::npos);
    // Nothing is recorded at all, not even the lock screen.
    EXPECT_EQ(chosen->frontmostApplication(), std::nullopt);
}

} // namespace
} // namespace ulvarend::platform
