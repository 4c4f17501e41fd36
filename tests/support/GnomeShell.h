#pragma once

// Headless GNOME Shell in a test's HOME, run as an unprivileged user with a session bus and a
// stand-in system bus of its own, as on a login of that user. Our extension is installed in
// the user's data folder before the shell starts, so that the shell knows it; whether it is
// also enabled then is the test's choice. foot terminals are its Wayland clients. The shell is
// this machine's or another Debian's (CompositorRoot); the buses, the settings and the clients
// are this machine's.

#include "support/ChildProcess.h"
#include "support/CompositorRoot.h"
#include "support/PrivateBus.h"
#include "support/Sway.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <pwd.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace ulvarend::testing {

class GnomeShell {
public:
    // `home` becomes the user's, with the folders the XDG variables of this process name.
    explicit GnomeShell(std::filesystem::path home_, Distribution distribution = Distribution::host)
        : home(std::move(home_)), root(distribution) {}
    ~GnomeShell() { stop(); }
    GnomeShell(const GnomeShell&) = delete;
    GnomeShell& operator=(const GnomeShell&) = delete;

    enum class Extension { enabled, installedOnly };

    // False when the shell did not come up.
    bool start(Extension extension) {
        const auto extensions = home / "data" / "gnome-shell" / "extensions";
        std::filesystem::create_directories(extensions);
        std::filesystem::copy(ULVAREND_GNOME_EXTENSIONS, extensions,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::overwrite_existing);
        std::filesystem::create_directories(runtime());
        // Left by a shell that ran less than a minute: the next one would load no extension.
        std::filesystem::remove(runtime() / "gnome-shell-disable-extensions");
        run("chown -R " + std::string(kSwayUser) + " " + quoted(home));
        std::filesystem::permissions(runtime(), std::filesystem::perms::owner_all);
        // The bus starts dconf's writer, which must write where the shell and the agent read.
        systemBus = asUser("dbus-daemon --session --nofork --address=unix:path=" +
                           (home / "system-bus").string() + " >/dev/null 2>&1");
        sessionBus =
            asUser("dbus-daemon --session --nofork --address=" + busAddress() + " >/dev/null 2>&1");
        if (!waitUntil(
                [&] {
                    return acceptsConnections(home / "shell-bus") &&
                           acceptsConnections(home / "system-bus");
                },
                [] {})) {
            return false;
        }
        if (extension == Extension::enabled &&
            userCommand("gsettings set org.gnome.shell enabled-extensions \"['" +
                        std::string(kFrontmostLegacyUuid) + "', '" + kFrontmostUuid + "']\"") !=
                0) {
            return false;
        }
        shell = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/bin/sh", "-c",
            "exec " + root.asUser(environment() + "sh -c " +
                                  quoted("exec env DBUS_SYSTEM_BUS_ADDRESS=unix:path=" +
                                         (home / "system-bus").string() +
                                         " gnome-shell --headless --wayland --virtual-monitor "
                                         "1280x800 >" +
                                         quoted(home / "shell.log") + " 2>&1"))});
        // The shell shows its overview once it has started, and there no window has the
        // focus: it is closed once it shows.
        const auto sleep = pauseFor(std::chrono::milliseconds(100));
        if (!waitUntil([&] { return overview() == "(<true>,)"; }, sleep,
                       std::chrono::seconds(30))) {
            return false;
        }
        userCommand("gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell "
                    "--method org.freedesktop.DBus.Properties.Set org.gnome.Shell OverviewActive "
                    "'<false>' >/dev/null");
        return waitUntil([&] { return overview() == "(<false>,)"; }, sleep,
                         std::chrono::seconds(10));
    }

    // "(<true>,)" while the overview shows.
    std::string overview() const {
        return userOutput("gdbus call --session --dest org.gnome.Shell --object-path "
                          "/org/gnome/Shell --method org.freedesktop.DBus.Properties.Get "
                          "org.gnome.Shell OverviewActive 2>/dev/null");
    }

    void stop() {
        shell.reset();
        sessionBus.reset();
        systemBus.reset();
    }

    // A command run as the shell's user, in its session.
    int userCommand(const std::string& command) const { return run(inSession(command)); }
    std::string userOutput(const std::string& command) const { return output(inSession(command)); }

    // Our extension for this shell's version: Debian 12 has GNOME 43, the later ones 45 and up.
    // Known without asking, so that a shell slow to answer cannot make it the wrong one.
    std::string frontmostUuid() const {
        return root.distribution == Distribution::host ? kFrontmostLegacyUuid : kFrontmostUuid;
    }

    // The state the shell holds the extension `uuid` in (1 is active, 3 failed, 4 out of
    // date), and its error text; {0, ""} when it does not know it.
    std::pair<int, std::string> extensionInfo(const std::string& uuid) const {
        const auto said =
            userOutput("gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell "
                       "--method org.gnome.Shell.Extensions.GetExtensionInfo " +
                       uuid + " 2>/dev/null");
        const auto state = said.find("'state': <");
        const auto error = said.find("'error': <'");
        return {state == std::string::npos ? 0 : std::atoi(said.c_str() + state + 10),
                error == std::string::npos
                    ? std::string()
                    : said.substr(error + 11, said.find("'>", error + 11) - error - 11)};
    }

    // What the shell logged against our extension.
    std::string extensionErrors() const {
        // On a machine with the agent's package installed the shell says it passes over the
        // system's copy for the test's own: that is the copy the test means, not an error.
        return output("grep -a -i -e 'Extension ulvarend' -e 'org.ulvarend.GnomeShell' " +
                      quoted(home / "shell.log") +
                      " | grep -a -v -e 'already installed in .* will not be loaded' || true");
    }

    const CompositorRoot& distribution() const { return root; }

    // What our extension says is focused, as "(true, 'id')"; empty when it is not there.
    std::string focused() const {
        return userOutput("gdbus call --session --dest org.ulvarend.GnomeShell --object-path "
                          "/org/ulvarend/GnomeShell --method "
                          "org.ulvarend.GnomeShell.Frontmost.Focused 2>/dev/null");
    }

    // Waits until the window of `appId` has the focus; false when it did not get it.
    bool waitForFocus(const std::string& appId) const {
        return waitUntil([&] { return focused() == "(true, '" + appId + "')"; }, [] {},
                         std::chrono::seconds(20));
    }

    // A foot terminal whose Wayland app id is `appId`.
    std::unique_ptr<ChildProcess> client(const std::string& appId) const {
        return std::make_unique<ChildProcess>(std::vector<std::string>{
            "/bin/sh", "-c",
            "exec env HOME=" + home.string() + " XDG_RUNTIME_DIR=" + runtime().string() +
                " WAYLAND_DISPLAY=" + socketPath().string() + " foot --app-id=" + appId +
                " sleep 600 >/dev/null 2>&1"});
    }

    // An X client under XWayland; its window class is "Xmessage".
    std::unique_ptr<ChildProcess> xClient() const {
        std::string display;
        std::string authority;
        waitUntil(
            [&] {
                display = output("sed -n 's/.*Using public X11 display \\(:[0-9]*\\).*/\\1/p' " +
                                 quoted(home / "shell.log") + " | head -1");
                authority =
                    output("ls " + quoted(runtime()) + "/.mutter-Xwaylandauth.* 2>/dev/null");
                return !display.empty() && !authority.empty();
            },
            [] {}, std::chrono::seconds(10));
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{"/bin/sh", "-c",
                                     "exec env DISPLAY=" + display + " XAUTHORITY=" + authority +
                                         " xmessage -geometry 300x100 XWayland >/dev/null 2>&1"});
    }

    std::filesystem::path runtime() const { return home / "run"; }
    std::filesystem::path socketPath() const { return runtime() / "wayland-0"; }
    std::string busAddress() const { return "unix:path=" + (home / "shell-bus").string(); }

    static constexpr const char* kFrontmostUuid = "ulvarend-frontmost@ulvarend.org";
    static constexpr const char* kFrontmostLegacyUuid = "ulvarend-frontmost-legacy@ulvarend.org";

private:
    std::string environment() const {
        return "env -i PATH=/usr/bin:/bin HOME=" + home.string() +
               " XDG_CONFIG_HOME=" + (home / "config").string() +
               " XDG_DATA_HOME=" + (home / "data").string() +
               " XDG_STATE_HOME=" + (home / "state").string() +
               " XDG_RUNTIME_DIR=" + runtime().string() +
               " DBUS_SESSION_BUS_ADDRESS=" + busAddress() + " ";
    }

    std::string inSession(const std::string& command) const {
        return "runuser -u " + std::string(kSwayUser) + " -- " + environment() + "sh -c " +
               quoted(command);
    }

    std::unique_ptr<ChildProcess> asUser(const std::string& command) const {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{"/bin/sh", "-c", "exec " + inSession("exec " + command)});
    }

    std::filesystem::path home;
    CompositorRoot root;
    std::unique_ptr<ChildProcess> systemBus;
    std::unique_ptr<ChildProcess> sessionBus;
    std::unique_ptr<ChildProcess> shell;
};

} // namespace ulvarend::testing
