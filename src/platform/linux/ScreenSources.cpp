#include "platform/ScreenSources.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QObject>
#include <QSocketNotifier>
#include <QVariantMap>
#include <unistd.h>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>

namespace ulvarend::platform {
namespace {

constexpr const char* kFreedesktopSaver = "org.freedesktop.ScreenSaver";
constexpr const char* kGnomeSaver = "org.gnome.ScreenSaver";
constexpr const char* kLogind = "org.freedesktop.login1";

class DbusScreenSources final : public QObject, public ScreenSources {
    Q_OBJECT

public:
    DbusScreenSources(std::shared_ptr<ScreenState> state_,
                      std::function<void(const std::string&)> onError_)
        : state(std::move(state_)), onError(std::move(onError_)) {
        listenToSessionBus();
        listenToSystemBus();
        listenToXScreenSaver();
    }

    ~DbusScreenSources() override {
        delete notifier;
        if (x != nullptr) {
            xcb_disconnect(x);
        }
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

    void listenToXScreenSaver() {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            return;
        }
        x = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(x) != 0) {
            onError("Screen events: cannot connect to the X server");
            xcb_disconnect(x);
            x = nullptr;
            return;
        }
        const xcb_query_extension_reply_t* extension =
            xcb_get_extension_data(x, &xcb_screensaver_id);
        if (extension == nullptr || extension->present == 0) {
            onError("Screen events: the X server has no screen saver extension");
            xcb_disconnect(x);
            x = nullptr;
            return;
        }
        saverEvent = extension->first_event + XCB_SCREENSAVER_NOTIFY;
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
        xcb_screensaver_select_input(x, root, XCB_SCREENSAVER_EVENT_NOTIFY_MASK);
        auto* info =
            xcb_screensaver_query_info_reply(x, xcb_screensaver_query_info(x, root), nullptr);
        if (info != nullptr) {
            if (info->state == XCB_SCREENSAVER_STATE_ON) {
                state->report("x11-screensaver", true);
            }
            free(info);
        }
        xcb_flush(x);

        notifier = new QSocketNotifier(xcb_get_file_descriptor(x), QSocketNotifier::Read);
        QObject::connect(notifier, &QSocketNotifier::activated, this, [this] { readXEvents(); });
    }

    void readXEvents() {
        while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
            if ((event->response_type & 0x7f) == saverEvent) {
                const auto* notify = reinterpret_cast<xcb_screensaver_notify_event_t*>(event);
                state->report("x11-screensaver", notify->state == XCB_SCREENSAVER_STATE_ON ||
                                                     notify->state == XCB_SCREENSAVER_STATE_CYCLE);
            }
            free(event);
        }
        if (xcb_connection_has_error(x) != 0) {
            onError("Screen events: the connection to the X server broke");
            notifier->setEnabled(false);
        }
    }

    std::shared_ptr<ScreenState> state;
    std::function<void(const std::string&)> onError;
    QString sessionPath;
    xcb_connection_t* x = nullptr;
    QSocketNotifier* notifier = nullptr;
    uint8_t saverEvent = 0;
};

} // namespace

std::unique_ptr<ScreenSources> startScreenSources(std::shared_ptr<ScreenState> state,
                                                  std::function<void(const std::string&)> onError) {
    return std::make_unique<DbusScreenSources>(std::move(state), std::move(onError));
}

} // namespace ulvarend::platform

#include "ScreenSources.moc"
