// The GNOME Shell source on a private session bus, where connections of this process stand in
// for the shell and for an intruder; and the enabling of extensions in a settings file of its
// own.

#include "platform/FrontmostApplicationSource.h"
#include "platform/GnomeShellExtensions.h"
#include "support/ChildProcess.h"
#include "support/SessionBusSuite.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QObject>
#include <QThread>
#include <QVariantMap>
#include <cstdlib>
#include <filesystem>
#include <gio/gio.h>
#include <gtest/gtest.h>

namespace ulvarend::platform {
namespace {

using namespace ulvarend::testing;
using namespace std::chrono_literals;

constexpr const char* kHelperName = "org.ulvarend.GnomeShell";
constexpr const char* kPath = "/org/ulvarend/GnomeShell";
constexpr const char* kInterface = "org.ulvarend.GnomeShell.Frontmost";

// What an extension answers when asked.
class Helper : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.ulvarend.GnomeShell.Frontmost")

public:
    QString answer;

public Q_SLOTS:
    bool Focused(QString& identifier) {
        identifier = answer;
        return true;
    }
};

// What the shell says of an extension, the same for both of ours.
class ExtensionsInfo : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.Shell.Extensions")

public:
    QVariantMap info;

public Q_SLOTS:
    QVariantMap GetExtensionInfo(const QString&) { return info; }
};

class GnomeShellFrontmostSourceTest : public SessionBusSuite {
protected:
    static void SetUpTestSuite() {
        startSuite([] {
            // Settings go to a file in this HOME, not to whatever dconf the machine has; the
            // extensions installed "system-wide" are the test's own, not the machine's.
            home->set("GSETTINGS_BACKEND", "keyfile");
            home->set("XDG_DATA_DIRS", home->root() / "share");
            home->set("GSETTINGS_SCHEMA_DIR", "/usr/share/glib-2.0/schemas");
            writeFile(systemExtensions() / kAppIndicatorExtension / "metadata.json", "{}");
            // Before this process first reads them: it keeps what it read.
            writeFile(home->configHome() / "glib-2.0" / "settings" / "keyfile",
                      "[org/gnome/shell]\ndisabled-extensions=['" +
                          std::string(kFrontmostLegacyExtension) + "', 'other@example.org']\n");
        });
    }

    static std::filesystem::path systemExtensions() {
        return home->root() / "share" / "gnome-shell" / "extensions";
    }

    // A connection of its own, as another process would have.
    static QDBusConnection connection(const QString& id) {
        return QDBusConnection::connectToBus(QString::fromStdString(address), id);
    }

    static void tell(QDBusConnection& from, bool focused, const QString& identifier) {
        auto signal = QDBusMessage::createSignal(kPath, kInterface, "FocusChanged");
        signal << focused << identifier;
        from.send(signal);
    }

    static void settle() {
        // A round trip from each side, then the events they caused.
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QDBusConnection::sessionBus().interface()->serviceOwner("org.freedesktop.DBus");
        }
    }

    // Nothing in front, or an application with `identifier`.
    using Seen = std::optional<std::optional<std::string>>;
    static Seen seen(const std::optional<FrontmostApplication>& a) {
        return a ? Seen(a->identifier) : std::nullopt;
    }

    // Whether `done` comes to hold within five seconds while the bus's messages are handled.
    static bool eventually(const std::function<bool()>& done) {
        return waitUntil(
            done, [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); }, 5s);
    }

    bool shows(const std::optional<FrontmostApplication>& expected) {
        return eventually([&] { return seen(source->frontmostApplication()) == seen(expected); });
    }

    std::string whyNot() {
        std::string why;
        EXPECT_FALSE(source->working(&why));
        return why;
    }

    std::vector<std::string> errors;
    std::vector<std::string> infos;
    std::shared_ptr<DesktopHelperSource> source =
        makeGnomeShellFrontmostSource([this](const std::string& e) { errors.push_back(e); },
                                      [this](const std::string& i) { infos.push_back(i); });
};

TEST_F(GnomeShellFrontmostSourceTest, OnlyTheShellsOwnConnectionIsHeard) {
    EXPECT_EQ(whyNot(), "org.gnome.Shell is not on the session bus");

    auto shell = connection("shell");
    auto intruder = connection("intruder");
    ASSERT_TRUE(shell.registerService("org.gnome.Shell"));
    Helper lies;
    lies.answer = "org.example.Intruder";
    ASSERT_TRUE(intruder.registerObject(kPath, &lies, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(intruder.registerService(kHelperName));
    EXPECT_TRUE(eventually([&] {
        return whyNot().find("held by a connection that is not GNOME Shell's") != std::string::npos;
    })) << whyNot();
    tell(intruder, true, "org.example.Intruder");
    EXPECT_TRUE(eventually([&] { return !errors.empty(); }));
    settle();
    EXPECT_EQ(seen(source->frontmostApplication()), std::nullopt);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Refused what a connection that is not GNOME Shell's told"),
              std::string::npos)
        << errors[0];

    // The intruder gives the name up and the extension in the shell takes it: what is focused
    // now is asked, and the changes follow.
    intruder.unregisterService(kHelperName);
    Helper extension;
    extension.answer = "org.example.Alpha";
    ASSERT_TRUE(shell.registerObject(kPath, &extension, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(shell.registerService(kHelperName));
    EXPECT_TRUE(shows(FrontmostApplication{"org.example.Alpha"}));
    EXPECT_TRUE(source->working(nullptr));
    tell(shell, true, "org.example.Beta");
    EXPECT_TRUE(shows(FrontmostApplication{"org.example.Beta"}));
    // An intruder without the name is not even delivered; one refusal was logged in all.
    tell(intruder, true, "org.example.Intruder");
    settle();
    EXPECT_EQ(seen(source->frontmostApplication()), seen(FrontmostApplication{"org.example.Beta"}));
    EXPECT_EQ(errors.size(), 1u);

    // Nothing focused, a window without a name, and a name longer than any real one.
    tell(shell, false, "");
    EXPECT_TRUE(shows(std::nullopt));
    tell(shell, true, "");
    EXPECT_TRUE(shows(FrontmostApplication{std::nullopt}));
    tell(shell, true, "org.example.Beta");
    EXPECT_TRUE(shows(FrontmostApplication{"org.example.Beta"}));
    tell(shell, true, QString(1025, 'x'));
    EXPECT_TRUE(shows(FrontmostApplication{std::nullopt}));

    // The extension disabled: said once, nothing in front, and taken up again when it is back.
    shell.unregisterService(kHelperName);
    EXPECT_TRUE(shows(std::nullopt));
    EXPECT_TRUE(eventually([&] { return errors.size() >= 2 && !source->working(nullptr); }));
    settle();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[1].find("The GNOME Shell extension left the session bus"), std::string::npos);
    extension.answer = "org.example.Gamma";
    ASSERT_TRUE(shell.registerService(kHelperName));
    EXPECT_TRUE(shows(FrontmostApplication{"org.example.Gamma"}));
    EXPECT_EQ(errors.size(), 2u);

    shell.unregisterService(kHelperName);
    shell.unregisterService("org.gnome.Shell");
    shell.unregisterObject(kPath);
    intruder.unregisterObject(kPath);
    QDBusConnection::disconnectFromBus("shell");
    QDBusConnection::disconnectFromBus("intruder");
}

TEST_F(GnomeShellFrontmostSourceTest, TheShellsReasonIsWhyTheExtensionIsMissing) {
    auto shell = connection("shell");
    // The source waits for the answer on this thread: the shell answers from another, which
    // ends with the test however it ends.
    struct ShellThread : QThread {
        ~ShellThread() override {
            quit();
            wait();
        }
    } shellThread;
    shellThread.start();
    ExtensionsInfo extensions;
    extensions.moveToThread(&shellThread);
    ASSERT_TRUE(
        shell.registerObject("/org/gnome/Shell", &extensions, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(shell.registerService("org.gnome.Shell"));
    const auto makeSource = [this] {
        return makeGnomeShellFrontmostSource([this](const std::string& e) { errors.push_back(e); },
                                             nullptr);
    };
    const std::string ours = "the extension ulvarend-frontmost@ulvarend.org "
                             "(ulvarend-frontmost-legacy@ulvarend.org before GNOME 45) is not ";
    struct Case {
        QVariantMap info;
        std::string why;
    };
    const std::vector<Case> cases{
        {{{"state", 4.0}},
         ours + "running: GNOME Shell holds it out of date, as made for other versions of GNOME "
                "Shell (the agent's package may be older than the shell)"},
        {{{"state", 3.0}, {"error", "SyntaxError: bad\nline"}},
         ours + "running: GNOME Shell reports an error in it: SyntaxError: bad line"},
        {{{"state", 3.0}}, ours + "running: GNOME Shell reports an error in it: no reason given"},
        // Not installed here, and the shell does not know it either.
        {{},
         ours + "installed (the ulvarend package puts it in /usr/share/gnome-shell/extensions)"},
        {{{"state", "4"}},
         ours + "installed (the ulvarend package puts it in "
                "/usr/share/gnome-shell/extensions)"},
    };
    for (const auto& c : cases) {
        extensions.info = c.info;
        source = makeSource();
        EXPECT_EQ(whyNot(), c.why);
    }
    EXPECT_TRUE(errors.empty());

    // A shell that comes later is asked without waiting for it, and its own reason said once.
    shell.unregisterService("org.gnome.Shell");
    source = makeSource();
    settle();
    extensions.info = {{"state", 3.0}, {"error", "boom"}};
    ASSERT_TRUE(shell.registerService("org.gnome.Shell"));
    const std::string failed = ours + "running: GNOME Shell reports an error in it: boom";
    EXPECT_TRUE(eventually([&] {
        std::string why;
        source->working(&why);
        return why == failed;
    }));
    settle();
    EXPECT_EQ(errors, std::vector<std::string>{"GNOME Shell: " + failed});
    source.reset();
    shell.unregisterService("org.gnome.Shell");
    shell.unregisterObject("/org/gnome/Shell");
    QDBusConnection::disconnectFromBus("shell");
}

// The settings as GSettings' own tool prints them.
std::string list(const char* key) {
    return output(std::string("gsettings get org.gnome.shell ") + key);
}

TEST_F(GnomeShellFrontmostSourceTest, InstalledExtensionsAreEnabledOnceAndSaidSo) {
    // The source's factory found ours not installed and wrote nothing.
    EXPECT_TRUE(infos.empty());
    EXPECT_NE(whyNot().find("org.gnome.Shell is not on the session bus"), std::string::npos);
    const std::string ours = kFrontmostLegacyExtension;
    EXPECT_EQ(enableGnomeShellExtension(ours, nullptr, nullptr), ExtensionEnabling::notInstalled);

    writeFile(home->dataHome() / "gnome-shell" / "extensions" / ours / "metadata.json", "{}");

    // Installed for this user; the one installed system-wide here is AppIndicator.
    EXPECT_EQ(enableGnomeShellExtension(
                  ours, [this](const auto& i) { infos.push_back(i); }, nullptr),
              ExtensionEnabling::enabledNow);
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0].rfind("Enabled the GNOME Shell extension " + ours, 0), 0u);
    EXPECT_EQ(list("enabled-extensions"), "['" + ours + "']");
    EXPECT_EQ(list("disabled-extensions"), "['other@example.org']");
    EXPECT_EQ(enableGnomeShellExtension(
                  ours, [this](const auto& i) { infos.push_back(i); }, nullptr),
              ExtensionEnabling::wasEnabled);
    EXPECT_EQ(infos.size(), 1u);

    // Only a GNOME session's settings are changed for AppIndicator.
    setenv("XDG_CURRENT_DESKTOP", "KDE", 1);
    enableAppIndicatorExtension([this](const auto& i) { infos.push_back(i); }, nullptr);
    EXPECT_EQ(list("enabled-extensions"), "['" + ours + "']");
    setenv("XDG_CURRENT_DESKTOP", "ubuntu:GNOME", 1);
    enableAppIndicatorExtension([this](const auto& i) { infos.push_back(i); }, nullptr);
    unsetenv("XDG_CURRENT_DESKTOP");
    EXPECT_EQ(list("enabled-extensions"), "['" + ours + "', '" + kAppIndicatorExtension + "']");
    EXPECT_EQ(infos.size(), 2u);
}

// How often the shell would hear the list of enabled extensions change.
class ListChanges {
public:
    ListChanges() : settings(g_settings_new("org.gnome.shell")) {
        g_strfreev(g_settings_get_strv(settings, "enabled-extensions")); // watched once read
        g_signal_connect(settings, "changed::enabled-extensions",
                         G_CALLBACK(+[](gpointer, const gchar*, gpointer count) {
                             ++*static_cast<int*>(count);
                         }),
                         &count);
        g_signal_connect(settings, "changed::disabled-extensions",
                         G_CALLBACK(+[](gpointer, const gchar*, gpointer count) {
                             ++*static_cast<int*>(count);
                         }),
                         &count);
    }
    ~ListChanges() { g_object_unref(settings); }

    // Written in this process, so that what the agent's code reads next is this.
    void set(const char* key, std::vector<const char*> values) {
        values.push_back(nullptr);
        g_settings_set_strv(settings, key, values.data());
        g_settings_sync();
    }
    ListChanges(const ListChanges&) = delete;
    ListChanges& operator=(const ListChanges&) = delete;

    int seen() {
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            g_main_context_iteration(nullptr, FALSE);
        }
        return count;
    }

private:
    GSettings* settings;
    int count = 0;
};

TEST_F(GnomeShellFrontmostSourceTest, WhatTheAgentNeedsIsEnabledInOneWrite) {
    writeFile(home->dataHome() / "gnome-shell" / "extensions" / kFrontmostExtension /
                  "metadata.json",
              "{}");
    writeFile(home->dataHome() / "gnome-shell" / "extensions" / kFrontmostLegacyExtension /
                  "metadata.json",
              "{}");
    ListChanges changes;
    changes.set("enabled-extensions", {"other@example.org"});
    changes.set("disabled-extensions", {kFrontmostExtension, kAppIndicatorExtension});
    const int before = changes.seen();
    setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
    EXPECT_EQ(
        enableAgentGnomeShellExtensions([this](const auto& i) { infos.push_back(i); }, nullptr),
        ExtensionEnabling::enabledNow);
    EXPECT_EQ(list("enabled-extensions"),
              "['other@example.org', '" + std::string(kFrontmostExtension) + "', '" +
                  kFrontmostLegacyExtension + "', '" + kAppIndicatorExtension + "']");
    EXPECT_EQ(list("disabled-extensions"), "@as []");
    EXPECT_EQ(infos.size(), 3u);
    // Both lists changed in one transaction: the store tells of it as one change per key at
    // most, never one per extension.
    EXPECT_LE(changes.seen() - before, 2);
    const int afterFirst = changes.seen();

    // The agent's second caller finds nothing to add and writes nothing.
    enableAppIndicatorExtension([this](const auto& i) { infos.push_back(i); }, nullptr);
    unsetenv("XDG_CURRENT_DESKTOP");
    EXPECT_EQ(infos.size(), 3u);
    EXPECT_EQ(changes.seen(), afterFirst);
}

} // namespace
} // namespace ulvarend::platform

#include "gnome_shell_frontmost_source_test.moc"
