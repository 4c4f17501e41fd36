#include "platform/FrontmostApplicationSource.h"
#include "platform/GnomeShellExtensions.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QVariantMap>
#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

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

// What the shell itself says of an extension (org.gnome.Shell.Extensions.GetExtensionInfo):
// its state and, in the error state, why.
struct ShellView {
    enum State { unknown = 0, active = 1, inactive = 2, failed = 3, outOfDate = 4 };
    int state = unknown;
    std::string error;
};

// What an answer of the shell says; an empty view when it is not one, or the shell does not
// know the extension.
ShellView readShellAnswer(const QDBusMessage& reply) {
    ShellView view;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        return view;
    }
    const auto info = qdbus_cast<QVariantMap>(reply.arguments().front());
    // The shell sends a double; anything else is not the shell's answer.
    const QVariant stateValue = info.value(QStringLiteral("state"));
    const double state = stateValue.typeId() == QMetaType::Double ? stateValue.toDouble() : 0.0;
    if (state >= 1 && state <= 16) {
        view.state = static_cast<int>(state);
    }
    // The shell's own text, which a broken extension may have made up: one line, bounded.
    std::string error = info.value(QStringLiteral("error")).toString().left(500).toStdString();
    std::replace_if(
        error.begin(), error.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    view.error = std::move(error);
    return view;
}

QDBusMessage extensionInfoCall(const char* uuid) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        kShellName, "/org/gnome/Shell", "org.gnome.Shell.Extensions", "GetExtensionInfo");
    call << QString::fromUtf8(uuid);
    return call;
}

// Main thread; waits for the shell at most kCallTimeoutMs.
ShellView askTheShellAbout(const char* uuid) {
    return readShellAnswer(
        QDBusConnection::sessionBus().call(extensionInfoCall(uuid), QDBus::Block, kCallTimeoutMs));
}

// Of our two formats, the one this shell's version can run; the classic one's view when the
// shell holds both out of date or knows neither.
ShellView theOneThatCounts(const ShellView& ours, const ShellView& legacy) {
    if (ours.state != ShellView::unknown && ours.state != ShellView::outOfDate) {
        return ours;
    }
    return legacy.state != ShellView::unknown ? legacy : ours;
}

ShellView whatTheShellSays() {
    return theOneThatCounts(askTheShellAbout(kFrontmostExtension),
                            askTheShellAbout(kFrontmostLegacyExtension));
}

// What staff read in the log when the shell is there but our extension is not; the shell's
// reason where it gives one.
std::string whyTheExtensionIsMissing(ExtensionEnabling enabling, const ShellView& shell) {
    const std::string names = "the extension " + extensionNames();
    std::string why;
    if (shell.state == ShellView::outOfDate) {
        why = names + " is not running: GNOME Shell holds it out of date, as made for other "
                      "versions of GNOME Shell (the agent's package may be older than the shell)";
    } else if (shell.state == ShellView::failed) {
        why = names + " is not running: GNOME Shell reports an error in it: " +
              (shell.error.empty() ? std::string("no reason given") : shell.error);
    } else if (shell.state != ShellView::unknown && enabling == ExtensionEnabling::enabledNow) {
        why = names + " is not running yet; it is enabled now and GNOME Shell loads it at once";
    } else {
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
    void setExtensionEnabling(ExtensionEnabling enabling_) {
        enabling = enabling_;
        // Asked only of a shell on the bus whose extension is not there yet.
        ShellView shell;
        if (listening && !shellOwner.isEmpty() && !fromTheShell(helperOwner)) {
            shell = whatTheShellSays();
        }
        const std::string why = whyTheExtensionIsMissing(enabling_, shell);
        reportedWhy = why;
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
        } else if (enabling && !shellOwner.isEmpty() && helperOwner.isEmpty()) {
            askWhyTheExtensionIsMissing();
        }
    }

    // A shell that came (back) without our extension is asked why, without waiting for it;
    // a reason that is the shell's own and new is said once.
    void askWhyTheExtensionIsMissing() {
        struct Answers {
            int pending = 2;
            ShellView ours;
            ShellView legacy;
        };
        auto answers = std::make_shared<Answers>();
        const QString askedOwner = shellOwner;
        for (const char* uuid : {kFrontmostExtension, kFrontmostLegacyExtension}) {
            auto* pending = new QDBusPendingCallWatcher(
                QDBusConnection::sessionBus().asyncCall(extensionInfoCall(uuid), kCallTimeoutMs),
                this);
            const bool isOurs = std::string_view(uuid) == kFrontmostExtension;
            connect(pending, &QDBusPendingCallWatcher::finished, this,
                    [this, answers, askedOwner, isOurs](QDBusPendingCallWatcher* answered) {
                        answered->deleteLater();
                        (isOurs ? answers->ours : answers->legacy) =
                            readShellAnswer(answered->reply());
                        if (--answers->pending > 0 || askedOwner != shellOwner ||
                            !helperOwner.isEmpty() || !enabling) {
                            return;
                        }
                        const ShellView shell = theOneThatCounts(answers->ours, answers->legacy);
                        const std::string why = whyTheExtensionIsMissing(*enabling, shell);
                        {
                            std::lock_guard lock(mutex);
                            missingExtension = why;
                            absent = whyAbsent();
                        }
                        const bool shellsReason =
                            shell.state == ShellView::failed || shell.state == ShellView::outOfDate;
                        if (shellsReason && why != reportedWhy && onError) {
                            onError("GNOME Shell: " + why);
                        }
                        reportedWhy = why;
                    });
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
    std::optional<ExtensionEnabling> enabling;
    std::string reportedWhy;

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
    const ExtensionEnabling enabling = enableAgentGnomeShellExtensions(onInfo, onError);
    source->setExtensionEnabling(enabling);
    return source;
}

} // namespace ulvarend::platform

#include "GnomeShellFrontmostSource.moc"
