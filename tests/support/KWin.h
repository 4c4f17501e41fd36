#pragma once

// Headless KWin (KDE Plasma's compositor) with XWayland, on a runtime directory of its own and
// the session bus it is given, for the tests of the agent under KDE Plasma. Its clients are
// the test window of tests/clients, which the binary that includes this names as
// ULVAREND_TEST_WINDOW. KWin is this machine's or another Debian's (CompositorRoot); the bus and
// the windows are this machine's.

#include "support/ChildProcess.h"
#include "support/CompositorRoot.h"
#include "support/Sway.h"
#include "support/TemporaryHome.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <pwd.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ulvarend::testing {

class KWin {
public:
    // The name of its Wayland socket in its runtime directory.
    static constexpr const char* kSocket = "ulvarend-kwin";

    explicit KWin(Distribution distribution = Distribution::host)
        : root(distribution), runtime(makeCompositorRuntime("ulvarend-kwin-")),
          programs(makeTemporaryFolder("ulvarend-kwin-bin-")) {
        // Debian's binary carries a file capability, which containers may refuse to execute;
        // a plain copy drops it. KWin takes its own Qt platform plugin only under this name.
        std::filesystem::permissions(programs, std::filesystem::perms::owner_all |
                                                   std::filesystem::perms::group_exec |
                                                   std::filesystem::perms::others_exec);
        std::error_code noRoot;
        std::filesystem::copy_file(root.file("/usr/bin/kwin_wayland"), programs / "kwin_wayland",
                                   noRoot);
    }
    ~KWin() {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(runtime, ignored);
        std::filesystem::remove_all(programs, ignored);
    }
    KWin(const KWin&) = delete;
    KWin& operator=(const KWin&) = delete;

    // Whether KWin runs its own lock screen, which offers org.freedesktop.ScreenSaver. Once
    // locked it stays so: unlocking takes the user's password.
    enum class LockScreen { none, kwins };

    // Starts KWin on the session bus at `busAddress`, as the user who may use that bus; false
    // when it did not come up with its XWayland server and its D-Bus name.
    bool start(const std::string& busAddress, LockScreen lockScreen = LockScreen::none) {
        std::filesystem::remove(runtime / "x11");
        // KWin starts the program it is given once XWayland is up, and tells it the display.
        const auto session = programs / "session";
        writeFile(session, "#!/bin/sh\necho \"$DISPLAY $XAUTHORITY\" >" +
                               (runtime / "x11.new").string() + "\nexec mv " +
                               (runtime / "x11.new").string() + " " + (runtime / "x11").string() +
                               "\n");
        std::filesystem::permissions(
            session, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                         std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                         std::filesystem::perms::others_exec);
        std::string command = "env -i PATH=/usr/bin:/bin HOME=" + runtime.string() +
                              " XDG_RUNTIME_DIR=" + runtime.string() +
                              " DBUS_SESSION_BUS_ADDRESS=" + quoted(busAddress) + " " +
                              quoted((programs / "kwin_wayland").string()) + " --virtual" +
                              (lockScreen == LockScreen::none ? " --no-lockscreen" : "") +
                              " --xwayland --socket " + kSocket + " " + quoted(session.string());
        compositor = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/bin/sh", "-c",
                                     "exec " + root.asUser(command) + " >>" +
                                         quoted((programs / "kwin.log").string()) + " 2>&1"});
        return waitUntil(
            [&] {
                return std::filesystem::exists(runtime / "x11") &&
                       dbus("org.kde.KWin /Scripting org.kde.kwin.Scripting.isScriptLoaded "
                            "string:none")
                               .status == 0;
            },
            pauseFor(std::chrono::milliseconds(100)), std::chrono::seconds(30));
    }

    void stop() {
        if (compositor) {
            compositor.reset();
            for (const auto& entry : std::filesystem::directory_iterator(runtime)) {
                std::error_code ignored;
                std::filesystem::remove_all(entry.path(), ignored);
            }
        }
    }

    // A native Wayland window named `appId`, run as KWin's user: KWin's XWayland admits no
    // other.
    std::unique_ptr<ChildProcess> client(const std::string& appId) const {
        return startWindow("QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY=" + socketPath().string(),
                           appId);
    }

    // A window named `appId` on KWin's XWayland server.
    std::unique_ptr<ChildProcess> x11Client(const std::string& appId) const {
        std::istringstream x11(readFile(runtime / "x11"));
        std::string display;
        std::string authority;
        x11 >> display >> authority;
        return startWindow("QT_QPA_PLATFORM=xcb DISPLAY=" + display +
                               (authority.empty() ? "" : " XAUTHORITY=" + authority),
                           appId);
    }

    // Gives the focus to the window whose desktop-file name or window class is `name`, through
    // a KWin script of the test's own; false when KWin did not run it.
    bool focus(const std::string& name) const {
        const auto script = runtime / "focus.js";
        writeFile(script, "var name = '" + name + "';\n" + R"js(
var windows = workspace.windowList ? workspace.windowList() : workspace.clientList();
for (var i = 0; i < windows.length; ++i) {
    var w = windows[i];
    if (w.desktopFileName === name || String(w.resourceClass).toLowerCase() === name.toLowerCase()) {
        if (workspace.windowList) { workspace.activeWindow = w; } else { workspace.activeClient = w; }
    }
}
)js");
        std::filesystem::permissions(script, std::filesystem::perms::owner_read |
                                                 std::filesystem::perms::others_read);
        const std::string scripting = "org.kde.KWin /Scripting org.kde.kwin.Scripting.";
        std::string id =
            dbus(scripting + "loadScript string:" + script.string() + " string:ulvarend-test").out;
        while (!id.empty() && id.back() == '\n') {
            id.pop_back();
        }
        const auto number = id.substr(id.find_last_of(' ') + 1);
        const bool ran =
            !number.empty() && number.find_first_not_of("0123456789") == std::string::npos &&
            (dbus("org.kde.KWin /" + number + " org.kde.kwin.Script.run").status == 0 ||
             dbus("org.kde.KWin /Scripting/Script" + number + " org.kde.kwin.Script.run").status ==
                 0);
        // It ran to its end: only the agent's script stays.
        dbus(scripting + "unloadScript string:ulvarend-test");
        return ran;
    }

    // Whether KWin holds a script loaded under `pluginName`.
    bool scriptLoaded(const std::string& pluginName) const {
        return dbus("org.kde.KWin /Scripting org.kde.kwin.Scripting.isScriptLoaded string:" +
                    pluginName)
                   .out.find("true") != std::string::npos;
    }

    // Scripts KWin has loaded, whoever loaded them: the objects it offers for them, named by
    // number, under / (KWin 5) or /Scripting (later).
    int loadedScripts() const {
        int count = 0;
        for (const char* path : {"/", "/Scripting"}) {
            const std::string tree = dbus("org.kde.KWin " + std::string(path) +
                                          " org.freedesktop.DBus.Introspectable.Introspect")
                                         .out;
            const std::string node = "<node name=\"";
            for (auto at = tree.find(node); at != std::string::npos; at = tree.find(node, at + 1)) {
                auto name = tree.substr(at + node.size(),
                                        tree.find('"', at + node.size()) - at - node.size());
                name = name.rfind("Script", 0) == 0 ? name.substr(6) : name;
                count += !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
            }
        }
        return count;
    }

    // A dbus-send call on the session bus, as the user of that bus: its status and its answer.
    Captured dbus(const std::string& destinationAndCall) const {
        return capture(asUser("dbus-send --session --print-reply=literal --dest=" +
                              destinationAndCall + " 2>/dev/null"));
    }

    // `command` as the user the compositor and its session bus run as.
    static std::string asUser(const std::string& command) {
        return geteuid() == 0 ? testing::asUser(kSwayUser, command) : command;
    }

    const CompositorRoot& distribution() const { return root; }

    // What KWin wrote, for a failing test to show.
    std::string log() const { return readFile(programs / "kwin.log"); }

    // The compositor's socket as an absolute path, which a client may take as WAYLAND_DISPLAY
    // whatever its own XDG_RUNTIME_DIR.
    std::filesystem::path socketPath() const { return runtime / kSocket; }

private:
    std::unique_ptr<ChildProcess> startWindow(const std::string& display,
                                              const std::string& appId) const {
        return std::make_unique<ChildProcess>(std::vector<std::string>{
            "/bin/sh", "-c",
            "exec " +
                asUser("env HOME=" + runtime.string() + " XDG_RUNTIME_DIR=" + runtime.string() +
                       " " + display + " ASAN_OPTIONS=detect_leaks=0 " +
                       quoted(ULVAREND_TEST_WINDOW) + " " + quoted(appId)) +
                " >>" + quoted((programs / "kwin.log").string()) + " 2>&1"});
    }

    CompositorRoot root;
    std::filesystem::path runtime;
    std::filesystem::path programs;
    std::unique_ptr<ChildProcess> compositor;
};

} // namespace ulvarend::testing
