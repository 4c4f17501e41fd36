#include "platform/ScreenSources.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QObject>
#include <QVariantMap>
#include <unistd.h>

namespace ulvarend::platform {
namespace {

constexpr const char* kFreedesktopSaver = "org.freedesktop.ScreenSaver";
constexpr const char* kGnomeSaver = "org.gnome.ScreenSaver";
constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLockedHint = "logind-locked-hint";
constexpr const char* kSleep = "logind-sleep";
constexpr const char* kInactive = "logind-inactive";

class DBusScreenSources final : public QObject, public ScreenSources {
    Q_OBJECT

public:
    DBusScreenSources(std::shared_ptr<ScreenState> state_, ErrorReporter onError_,
                      std::function<void()> onSessionEnding_)
        : state(std::move(state_)), onError(std::move(onError_)),
          onSessionEnding(std::move(onSessionEnding_)) {
        listenToSessionBus();
        listenToSystemBus();
    }

public slots:
    void freedesktopSaverChanged(bool active) { saverChanged(kFreedesktopSaver, active); }
    void gnomeSaverChanged(bool active) { saverChanged(kGnomeSaver, active); }
    // Requests to the lockers, not the state of the session: see `reportLockRequest`.
    void sessionLocked() { state->reportLockRequest(true); }
    void sessionUnlocked() { state->reportLockRequest(false); }
    void prepareForSleep(bool sleeping) {
        // The observers close what is open before the delay is given back.
        state->report(kSleep, sleeping);
        if (sleeping) {
            sleepDelay = QDBusUnixFileDescriptor();
        } else {
            delaySleep();
        }
    }
    void prepareForShutdown(bool shuttingDown) {
        if (shuttingDown) {
            sessionEnding();
        }
    }
    // Read from the message: Qt refuses to connect this signal to a slot that takes the
    // object path itself.
    void sessionRemoved(const QString&, const QDBusMessage& message) {
        const auto arguments = message.arguments();
        if (arguments.size() == 2 && arguments[1].value<QDBusObjectPath>().path() == sessionPath) {
            sessionEnding();
        }
    }
    // Lock screens without a screen saver service (swaylock and the like) are seen here.
    void sessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                  const QStringList& invalidated) {
        if (interface != "org.freedesktop.login1.Session") {
            return;
        }
        if (auto found = changed.find("LockedHint"); found != changed.end()) {
            lockedHintChanged(found->toBool());
        } else if (invalidated.contains("LockedHint")) {
            readSessionProperties();
        }
        // Another member's session in front, or a switch of virtual terminal: nobody is at
        // this session, as if its screens were asleep.
        if (auto found = changed.find("Active"); found != changed.end()) {
            state->report(kInactive, !found->toBool());
        } else if (invalidated.contains("Active")) {
            readSessionProperties();
        }
    }
    // logind gone (restarted, or the system bus lost) can no longer take back what it said.
    void logindGone() {
        for (const char* source : {kLockedHint, kSleep, kInactive}) {
            state->drop(source);
        }
        state->clearLockRequest();
    }

private:
    void saverChanged(const char* saver, bool active) {
        state->report(saver, active);
        if (!active) {
            state->clearLockRequest();
        }
    }

    void lockedHintChanged(bool locked) {
        state->report(kLockedHint, locked);
        if (!locked) {
            state->clearLockRequest();
        }
    }

    // While the descriptor is held logind waits, a few seconds at most, for the agent to
    // have heard PrepareForSleep before the machine freezes. Without it the session still
    // ends at the last look before the gap.
    void delaySleep() {
        QDBusInterface manager(kLogind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               QDBusConnection::systemBus());
        QDBusReply<QDBusUnixFileDescriptor> delay = manager.call(
            "Inhibit", "sleep", "Ulvarend",
            "Ends the application session in front before the machine sleeps", "delay");
        if (delay.isValid()) {
            sleepDelay = delay.value();
        }
    }

    void sessionEnding() {
        if (onSessionEnding) {
            onSessionEnding();
        }
    }

    void listenToSessionBus() {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) {
            onError("Screen events: no session bus: " + bus.lastError().message().toStdString());
            return;
        }
        // Any sender: the screen saver's well-known name belongs to whichever desktop runs.
        bool ok = bus.connect(QString(), "/org/freedesktop/ScreenSaver", kFreedesktopSaver,
                              "ActiveChanged", this, SLOT(freedesktopSaverChanged(bool)));
        ok = bus.connect(QString(), "/ScreenSaver", kFreedesktopSaver, "ActiveChanged", this,
                         SLOT(freedesktopSaverChanged(bool))) &&
             ok;
        ok = bus.connect(QString(), "/org/gnome/ScreenSaver", kGnomeSaver, "ActiveChanged", this,
                         SLOT(gnomeSaverChanged(bool))) &&
             ok;
        if (!ok) {
            onError("Screen events: cannot listen on the session bus: " +
                    bus.lastError().message().toStdString());
        }
    }

    void listenToSystemBus() {
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected()) {
            onError("Screen events: no system bus: " + bus.lastError().message().toStdString());
            return;
        }
        bus.connect(kLogind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                    "PrepareForSleep", this, SLOT(prepareForSleep(bool)));
        bus.connect(kLogind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                    "PrepareForShutdown", this, SLOT(prepareForShutdown(bool)));
        bus.connect(kLogind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                    "SessionRemoved", this, SLOT(sessionRemoved(QString, QDBusMessage)));
        logindWatcher.setConnection(bus);
        logindWatcher.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
        logindWatcher.addWatchedService(kLogind);
        connect(&logindWatcher, &QDBusServiceWatcher::serviceUnregistered, this,
                &DBusScreenSources::logindGone);
        delaySleep();

        QDBusInterface manager(kLogind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               bus);
        QDBusReply<QDBusObjectPath> session =
            manager.call("GetSessionByPID", static_cast<quint32>(getpid()));
        if (!session.isValid()) {
            const QByteArray id = qgetenv("XDG_SESSION_ID");
            if (!id.isEmpty()) {
                session = manager.call("GetSession", QString::fromUtf8(id));
            }
        }
        if (!session.isValid()) {
            onError("Screen events: no login session for the lock signals: " +
                    session.error().message().toStdString());
            return;
        }
        const QString path = session.value().path();
        bus.connect(kLogind, path, "org.freedesktop.login1.Session", "Lock", this,
                    SLOT(sessionLocked()));
        bus.connect(kLogind, path, "org.freedesktop.login1.Session", "Unlock", this,
                    SLOT(sessionUnlocked()));
        bus.connect(kLogind, path, "org.freedesktop.DBus.Properties", "PropertiesChanged", this,
                    SLOT(sessionPropertiesChanged(QString, QVariantMap, QStringList)));
        sessionPath = path;
        readSessionProperties();
    }

    void readSessionProperties() {
        QDBusInterface properties(kLogind, sessionPath, "org.freedesktop.DBus.Properties",
                                  QDBusConnection::systemBus());
        QDBusReply<QDBusVariant> locked =
            properties.call("Get", "org.freedesktop.login1.Session", "LockedHint");
        if (locked.isValid()) {
            lockedHintChanged(locked.value().variant().toBool());
        }
        QDBusReply<QDBusVariant> active =
            properties.call("Get", "org.freedesktop.login1.Session", "Active");
        if (active.isValid()) {
            state->report(kInactive, !active.value().variant().toBool());
        }
    }

    std::shared_ptr<ScreenState> state;
    ErrorReporter onError;
    std::function<void()> onSessionEnding;
    QString sessionPath;
    QDBusServiceWatcher logindWatcher;
    QDBusUnixFileDescriptor sleepDelay;
};

} // namespace

std::unique_ptr<ScreenSources> startDBusScreenSources(std::shared_ptr<ScreenState> state,
                                                      ErrorReporter onError,
                                                      std::function<void()> onSessionEnding) {
    return std::make_unique<DBusScreenSources>(std::move(state), std::move(onError),
                                               std::move(onSessionEnding));
}

} // namespace ulvarend::platform

#include "DBusScreenSources.moc"
