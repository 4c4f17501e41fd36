#include "platform/ScreenSources.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QObject>
#include <QVariantMap>
#include <unistd.h>

namespace ulvarend::platform {
namespace {

constexpr const char* kFreedesktopSaver = "org.freedesktop.ScreenSaver";
constexpr const char* kGnomeSaver = "org.gnome.ScreenSaver";
constexpr const char* kLogind = "org.freedesktop.login1";

class DBusScreenSources final : public QObject, public ScreenSources {
    Q_OBJECT

public:
    DBusScreenSources(std::shared_ptr<ScreenState> state_,
                      ErrorReporter onError_)
        : state(std::move(state_)), onError(std::move(onError_)) {
        listenToSessionBus();
        listenToSystemBus();
    }

public slots:
    void freedesktopSaverChanged(bool active) { state->report(kFreedesktopSaver, active); }
    void gnomeSaverChanged(bool active) { state->report(kGnomeSaver, active); }
    void sessionLocked() { state->report("logind-lock", true); }
    void sessionUnlocked() { state->report("logind-lock", false); }
    void prepareForSleep(bool sleeping) { state->report("logind-sleep", sleeping); }
    // Lock screens without a screen saver service (swaylock and the like) are seen here.
    void sessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                  const QStringList& invalidated) {
        if (interface != "org.freedesktop.login1.Session") {
            return;
        }
        if (auto found = changed.find("LockedHint"); found != changed.end()) {
            state->report("logind-locked-hint", found->toBool());
        } else if (invalidated.contains("LockedHint")) {
            readLockedHint();
        }
    }

private:
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
        readLockedHint();
    }

    void readLockedHint() {
        QDBusInterface properties(kLogind, sessionPath, "org.freedesktop.DBus.Properties",
                                  QDBusConnection::systemBus());
        QDBusReply<QDBusVariant> locked =
            properties.call("Get", "org.freedesktop.login1.Session", "LockedHint");
        if (locked.isValid()) {
            state->report("logind-locked-hint", locked.value().variant().toBool());
        }
    }

    std::shared_ptr<ScreenState> state;
    ErrorReporter onError;
    QString sessionPath;
};

} // namespace

std::unique_ptr<ScreenSources> startDBusScreenSources(std::shared_ptr<ScreenState> state,
                                                      ErrorReporter onError) {
    return std::make_unique<DBusScreenSources>(std::move(state), std::move(onError));
}

} // namespace ulvarend::platform

#include "DBusScreenSources.moc"
