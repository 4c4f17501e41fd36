#pragma once

// Headless sway on a runtime directory of its own, with foot terminals as its clients, for the
// tests of the Wayland source and the agent under Wayland.

#include "support/ChildProcess.h"
#include "support/TemporaryHome.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <pwd.h>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace ulvarend::testing {

// sway refuses to run as root, so a root test runs it as this user of its own; so do the other
// compositors' tests.
constexpr const char* kSwayUser = "ulvarend-test";

inline void ensureCompositorUser() {
    if (getpwnam(kSwayUser) == nullptr) {
        run(std::string("useradd --system --no-create-home --shell /usr/sbin/nologin ") +
            kSwayUser);
    }
}

// A fresh owner-only runtime folder for a compositor, its user's when the test runs as root.
inline std::filesystem::path makeCompositorRuntime(const std::string& prefix) {
    auto runtime = makeTemporaryFolder(prefix);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    if (geteuid() == 0) {
        ensureCompositorUser();
        run("chown " + std::string(kSwayUser) + " " + runtime.string());
    }
    return runtime;
}

class Sway {
public:
    Sway() : runtime(makeCompositorRuntime("ulvarend-wl-")) {}
    ~Sway() { stop(); }

    // Starts sway, which takes the first free name (wayland-1 in a fresh directory, and the
    // same again after it exited); false when it did not come up.
    bool start() {
        std::string command = "env -i PATH=/usr/bin:/bin HOME=" + runtime.string() +
                              " XDG_RUNTIME_DIR=" + runtime.string() +
                              " WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 "
                              "WLR_RENDERER=pixman sway -c /dev/null "
                              ">/dev/null 2>&1";
        if (geteuid() == 0) {
            command = "runuser -u " + std::string(kSwayUser) + " -- " + command;
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

    // Gives the focus to the window of `appId`; swaymsg's status, not 0 when there is none.
    int focus(const std::string& appId) const {
        return run("SWAYSOCK=" + swaySocket() + " swaymsg '[app_id=\"" + appId +
                   "\"] focus' >/dev/null 2>&1");
    }

    // Makes this compositor the one the process is told about.
    void use() const {
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("WAYLAND_DISPLAY", display.c_str(), 1);
    }

    // The compositor's socket as an absolute path, which a client may take as WAYLAND_DISPLAY
    // whatever its own XDG_RUNTIME_DIR. Root reaches it in the other user's directory.
    std::filesystem::path socketPath() const { return runtime / display; }

    std::string swaySocket() const {
        for (const auto& entry : std::filesystem::directory_iterator(runtime)) {
            if (entry.path().filename().string().rfind("sway-ipc", 0) == 0) {
                return entry.path().string();
            }
        }
        return "";
    }

    // "wayland-N", the name of the compositor's socket in its runtime directory.
    std::string display;

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

    std::filesystem::path runtime;
    RemovedWhenGone removal{runtime};
    std::unique_ptr<ChildProcess> compositor;
};

} // namespace ulvarend::testing
