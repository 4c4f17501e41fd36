#include "platform/FrontmostApplicationSource.h"
#include "platform/GnomeShellExtensions.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QObject>
#include <mutex>

namespace ulvarend::platform {
namespace {

constexpr const char* kShellName = "org.gnome.Shell";
constexpr const char* kHelperName = "org.ulvarend.GnomeShell";
constexpr const char* kHelperPath = "/org/ulvarend/GnomeShell";
constexpr const char* kHelperInterface = "org.ulvarend.GnomeShell.Frontmost";
// The shell answers from its own main loop; a busy or dying shell is not waited for long.
constexpr int kCallTimeoutMs = 2000;

std::string extensionNames() {
    return std::string(kFrontmostExtension) + " (" + kFrontmostLegacyExtension +
           " before GNOME 45)";
}

// What staff read in the log when the shell is there but our extension is not.
std::string whyTheExtensionIsMissing(ExtensionEnabling enabling) {
    const std::string names = "the extension " + extensionNames();
    std::string why;
    switch (enabling) {
    case ExtensionEnabling::enabledNow:
        why = names + " is not running yet; it is enabled now and loads at the next login";
        break;
    case ExtensionEnabling::wasEnabled:
        why = names + " is enabled but not running; it loads at the next login, or the "
                      "Extensions application says why it cannot";
        break;
    case ExtensionEnabling::notInstalled:
        why = names + " is not installed (the ulvarend package puts it in "
                      "/usr/share/gnome-shell/extensions)";
        break;
    case ExtensionEnabling::failed:
        why = names + " is not running and could not be enabled";
        break;
    case ExtensionEnabling::noGnomeShell:
        why = names + " is not running, and GNOME Shell's settings are not installed";
        break;
    }
    if (gnomeShellUserExtensionsOff()) {
        why += "; GNOME Shell loads no user extensions while disable-user-extensions is on";
    }
    return why;
}

// Only the connection that owns org.gnome.Shell runs inside the shell: what any other
// connection says, even one that took our extension's name first, is refused.
class GnomeShellFrontmostSource final : public QObject, public DesktopHelperSource {
    Q_OBJECT

public:
    explicit GnomeShellFrontmostSource(ErrorReporter onError_) : onError(std::move(onError_)) {
        // Qt D-Bus delivers nothing without an event loop, and a process without an
        // application object cannot have one.
        if (QCoreApplication::instance() == nullptr) {
            absent = "the agent has no event loop for the session bus";
            return;
        }
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) {
            absent = "no session bus: " + bus.lastError().message().toStdString();
            return;
        }
        watcher.setConnection(bus);
        watcher.setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
        watcher.addWatchedService(kShellName);
        watcher.addWatchedService(kHelperName);
        connect(&watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                &GnomeShellFrontmostSource::ownerChanged);
        bus.connect(kHelperName, kHelperPath, kHelperInterface, "FocusChanged", this,
                    SLOT(focusChanged(bool, QString, QDBusMessage)));
        listening = true;
        shellOwner = bus.interface()->serviceOwner(kShellName).value();
        helperOwner = bus.interface()->serviceOwner(kHelperName).value();
        update();
    }

    // Told once the factory knows what became of enabling the extension.
    void setExtensionEnabling(ExtensionEnabling enabling) {
        const std::string why = whyTheExtensionIsMissing(enabling);
        std::lock_guard lock(mutex);
        missingExtension = why;
        if (listening) {
            absent = whyAbsent();
        }
    }

    std::optional<FrontmostApplication> frontmostApplication() override {
        std::lock_guard lock(mutex);
        return present && told ? front : std::nullopt;
    }

    bool working(std::string* whyNot) override {
        std::lock_guard lock(mutex);
        if (!present && whyNot != nullptr) {
            *whyNot = absent;
        }
        return present;
    }

private slots:
    void ownerChanged(const QString& name, const QString&, const QString& owner) {
        (name == kShellName ? shellOwner : helperOwner) = owner;
        update();
    }

    void focusChanged(bool focused, const QString& identifier, const QDBusMessage& message) {
        if (!fromTheShell(message.service())) {
            refuse();
            return;
        }
        tell(focused, identifier);
    }

private:
    bool fromTheShell(const QString& sender) const {
        return !shellOwner.isEmpty() && sender == shellOwner && sender == helperOwner;
    }

    // Called on the main thread whenever an owner changed.
    void update() {
        const bool inShell = fromTheShell(helperOwner);
        if (!inShell && !helperOwner.isEmpty()) {
            refuse();
        }
        bool lost = false;
        {
            std::lock_guard lock(mutex);
            lost = present && !inShell;
            present = inShell;
            told = false;
            front.reset();
            absent = whyAbsent();
        }
        if (lost && onError) {
            onError("The GNOME Shell extension left the session bus; the frontmost application "
                    "is unknown until it is back");
        }
        if (inShell) {
            askWhatIsFocused();
        }
    }

    // With `mutex` held.
    std::string whyAbsent() const {
        if (shellOwner.isEmpty()) {
            return std::string(kShellName) + " is not on the session bus";
        }
        if (!helperOwner.isEmpty()) {
            return std::string(kHelperName) +
                   " is held by a connection that is not GNOME Shell's; what it tells is refused";
        }
        return missingExtension.empty() ? "the extension " + extensionNames() + " is not running"
                                        : missingExtension;
    }

    // The extension tells changes only; what is in front when it appears is asked. The call
    // goes to the shell's own connection, so no other one can answer it.
    void askWhatIsFocused() {
        QDBusMessage call =
            QDBusMessage::createMethodCall(helperOwner, kHelperPath, kHelperInterface, "Focused");
        auto* pending = new QDBusPendingCallWatcher(
            QDBusConnection::sessionBus().asyncCall(call, kCallTimeoutMs), this);
        const QString askedOwner = helperOwner;
        connect(pending, &QDBusPendingCallWatcher::finished, this,
                [this, askedOwner](QDBusPendingCallWatcher* answered) {
                    answered->deleteLater();
                    QDBusPendingReply<bool, QString> reply = *answered;
                    // A shell that restarted meanwhile is asked again by `update`.
                    if (reply.isValid() && fromTheShell(askedOwner)) {
                        tell(reply.argumentAt<0>(), reply.argumentAt<1>());
                    }
                });
    }

    void tell(bool focused, const QString& identifier) {
        std::optional<FrontmostApplication> application;
        if (focused) {
            application = FrontmostApplication{boundedIdentifier(identifier.toStdString())};
        }
        std::lock_guard lock(mutex);
        told = true;
        front = application;
    }

    void refuse() {
        if (refusalReported) {
            return;
        }
        refusalReported = true;
        if (onError) {
            onError("Refused what a connection that is not GNOME Shell's told about the "
                    "frontmost application (" +
                    std::string(kHelperName) + " is held by " + helperOwner.toStdString() +
                    ", org.gnome.Shell by " +
                    (shellOwner.isEmpty() ? std::string("nobody") : shellOwner.toStdString()) +
                    ")");
        }
    }

    const ErrorReporter onError;
    // Main thread only.
    QDBusServiceWatcher watcher;
    QString shellOwner;
    QString helperOwner;
    bool listening = false;
    bool refusalReported = false;

    // What the polling thread reads.
    std::mutex mutex;
    bool present = false;
    bool told = false;
    std::optional<FrontmostApplication> front;
    std::string absent;
    std::string missingExtension;
};

} // namespace

std::shared_ptr<DesktopHelperSource>
makeGnomeShellFrontmostSource(ErrorReporter onError,
                              std::function<void(const std::string&)> onInfo) {
    auto source = std::make_shared<GnomeShellFrontmostSource>(onError);
    // After the source listens: the shell may load the extension the moment it is enabled.
    ExtensionEnabling enabling = ExtensionEnabling::noGnomeShell;
    for (const char* uuid : {kFrontmostExtension, kFrontmostLegacyExtension}) {
        const auto one = enableGnomeShellExtension(uuid, onInfo, onError);
        if (one == ExtensionEnabling::failed || enabling == ExtensionEnabling::failed) {
            enabling = ExtensionEnabling::failed;
        } else if (one == ExtensionEnabling::enabledNow ||
                   enabling == ExtensionEnabling::enabledNow) {
            enabling = ExtensionEnabling::enabledNow;
        } else if (one == ExtensionEnabling::wasEnabled ||
                   enabling == ExtensionEnabling::wasEnabled) {
            enabling = ExtensionEnabling::wasEnabled;
        } else if (one == ExtensionEnabling::notInstalled) {
            enabling = ExtensionEnabling::notInstalled;
        }
    }
    source->setExtensionEnabling(enabling);
    return source;
}

} // namespace ulvarend::platform

#include "GnomeShellFrontmostSource.moc"
