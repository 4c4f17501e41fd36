#include "platform/ScreenSources.h"
#include "support/ChildProcess.h"
#include "support/PrivateBus.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QThread>
#include <QVariantMap>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

namespace ulvarend {
namespace {

using namespace ulvarend::testing;

constexpr const char* kSessionPath = "/org/freedesktop/login1/session/test";

// logind's session, as far as the lock hint goes.
class FakeSession : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Session")
    Q_PROPERTY(bool LockedHint READ lockedHint)
    Q_PROPERTY(bool Active READ isActive)

public:
    bool locked = false;
    bool active = true;
    bool lockedHint() const { return locked; }
    bool isActive() const { return active; }
};

class FakeManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    // The far end of the last delay handed out; it reads end-of-file once the holder lets go.
    std::atomic<int> heldDelay{-1};
    std::atomic<int> delaysTaken{0};

public slots:
    QDBusObjectPath GetSessionByPID(uint) { return QDBusObjectPath(kSessionPath); }
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString&, const QString&,
                                    const QString& mode) {
        int ends[2];
        if (what != "sleep" || mode != "delay" || pipe(ends) != 0) {
            return {};
        }
        QDBusUnixFileDescriptor handed(ends[1]);
        close(ends[1]);
        if (const int old = heldDelay.exchange(ends[0]); old >= 0) {
            close(old);
        }
        ++delaysTaken;
        return handed;
    }
};

// A stand-in for logind on a private bus, served on a thread of its own so that the blocking
// calls of the main thread are answered.
class FakeLogind {
public:
    explicit FakeLogind(const QString& address) {
        session.moveToThread(&thread);
        manager.moveToThread(&thread);
        thread.start();
        QMetaObject::invokeMethod(
            &session,
            [this, address] {
                auto bus = QDBusConnection::connectToBus(address, "fake-logind");
                bus.registerObject("/org/freedesktop/login1", &manager,
                                   QDBusConnection::ExportAllSlots);
                bus.registerObject(kSessionPath, &session, QDBusConnection::ExportAllProperties);
                bus.registerService("org.freedesktop.login1");
            },
            Qt::BlockingQueuedConnection);
    }
    ~FakeLogind() { stop(); }

    // logind going away, as when it is restarted.
    void stop() {
        if (!thread.isRunning()) {
            return;
        }
        QMetaObject::invokeMethod(
            &session, [] { QDBusConnection::disconnectFromBus("fake-logind"); },
            Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }

    void setLocked(bool locked) { setProperty("LockedHint", locked, session.locked); }
    void setActive(bool active) { setProperty("Active", active, session.active); }

    void send(const QString& path, const QString& interface, const QString& member,
              const QVariantList& arguments = {}) {
        QMetaObject::invokeMethod(
            &session,
            [=] {
                auto signal = QDBusMessage::createSignal(path, interface, member);
                signal.setArguments(arguments);
                QDBusConnection(QString("fake-logind")).send(signal);
            },
            Qt::BlockingQueuedConnection);
    }
    void sessionSignal(const QString& member) {
        send(kSessionPath, "org.freedesktop.login1.Session", member);
    }
    void managerSignal(const QString& member, bool value) {
        send("/org/freedesktop/login1", "org.freedesktop.login1.Manager", member, {value});
    }

    void setLockedQuietly(bool locked) {
        QMetaObject::invokeMethod(
            &session, [this, locked] { session.locked = locked; }, Qt::BlockingQueuedConnection);
    }

    // Whether the delay handed out last is still held.
    bool delayHeld() {
        pollfd far{manager.heldDelay.load(), POLLIN, 0};
        return far.fd >= 0 && poll(&far, 1, 0) == 0;
    }
    int delaysTaken() const { return manager.delaysTaken.load(); }

private:
    void setProperty(const char* name, bool value, bool& field) {
        QMetaObject::invokeMethod(
            &session,
            [&field, name, value] {
                field = value;
                auto signal = QDBusMessage::createSignal(
                    kSessionPath, "org.freedesktop.DBus.Properties", "PropertiesChanged");
                signal << QString("org.freedesktop.login1.Session") << QVariantMap{{name, value}}
                       << QStringList{};
                QDBusConnection(QString("fake-logind")).send(signal);
            },
            Qt::BlockingQueuedConnection);
    }

    QThread thread;
    FakeSession session;
    FakeManager manager;
};

TEST(LogindLockTest, LogindsStateCountsAndItsRequestsHoldOnlyUntilTheLockIsSeenToGo) {
    const PrivateBus bus(std::filesystem::temp_directory_path() /
                         ("ulvarend-system-bus-" + std::to_string(getpid())));
    const std::string& address = bus.address;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    unsetenv("DISPLAY");
    int argc = 1;
    char name[] = "logind_lock_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    FakeLogind logind(QString::fromStdString(address));
    logind.setLockedQuietly(true);

    auto state = std::make_shared<platform::ScreenState>();
    std::vector<std::string> events;
    state->addScreensDidSleepObserver([&] { events.push_back("sleep"); });
    state->addScreensDidWakeObserver([&] { events.push_back("wake"); });
    std::vector<std::string> errors;
    auto sources = platform::startScreenSources(
        state, [&](const std::string& error) { errors.push_back(error); },
        [&] { events.push_back("session ending"); });
    // Locked before the agent started: asleep from the start.
    EXPECT_TRUE(state->screensAsleep());
    EXPECT_TRUE(errors.empty());
    events.clear();

    auto saver = [&](bool active) {
        logind.send("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged",
                    {active});
    };
    auto removeSession = [&](const char* path) {
        logind.send("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "SessionRemoved",
                    {QString("c"), QVariant::fromValue(QDBusObjectPath(path))});
    };
    struct Step {
        const char* what;
        std::function<void()> act;
        std::vector<std::string> then;
    };
    const Step steps[] = {
        {"the hint cleared", [&] { logind.setLocked(false); }, {"wake"}},
        {"the hint set", [&] { logind.setLocked(true); }, {"sleep"}},
        {"the hint cleared again", [&] { logind.setLocked(false); }, {"wake"}},
        // Lock and Unlock are requests to whichever locker runs.
        {"a lock request", [&] { logind.sessionSignal("Lock"); }, {"sleep"}},
        {"an unlock request", [&] { logind.sessionSignal("Unlock"); }, {"wake"}},
        // A locker that is unlocked by a password sends no Unlock; its hint or its screen
        // saver going off ends the lock.
        {"a lock answered by the hint", [&] { logind.sessionSignal("Lock"); }, {"sleep"}},
        {"the locker sets the hint", [&] { logind.setLocked(true); }, {}},
        {"the locker is unlocked", [&] { logind.setLocked(false); }, {"wake"}},
        {"a lock answered by a saver", [&] { logind.sessionSignal("Lock"); }, {"sleep"}},
        {"the saver goes on", [&] { saver(true); }, {}},
        {"the saver goes off", [&] { saver(false); }, {"wake"}},
        // Sleep waits for the agent until it has heard of it, then the delay is taken again.
        {"suspending",
         [&] {
             EXPECT_TRUE(logind.delayHeld());
             logind.managerSignal("PrepareForSleep", true);
         },
         {"sleep"}},
        {"resumed",
         [&] {
             EXPECT_FALSE(logind.delayHeld());
             logind.managerSignal("PrepareForSleep", false);
         },
         {"wake"}},
        // Another member's session in front, or another virtual terminal.
        {"the session inactive", [&] { logind.setActive(false); }, {"sleep"}},
        {"the session active", [&] { logind.setActive(true); }, {"wake"}},
        {"shutting down",
         [&] { logind.managerSignal("PrepareForShutdown", true); },
         {"session ending"}},
        {"another session removed",
         [&] { removeSession("/org/freedesktop/login1/session/c2"); },
         {}},
        {"this session removed", [&] { removeSession(kSessionPath); }, {"session ending"}},
        // What a source said last does not hold once it can no longer take it back.
        {"locked, then logind gone",
         [&] {
             logind.sessionSignal("Lock");
             logind.setLocked(true);
             waitUntil([&] { return !events.empty(); }, [] { QCoreApplication::processEvents(); });
             logind.stop();
         },
         {"sleep", "wake"}},
    };
    for (const auto& step : steps) {
        events.clear();
        step.act();
        waitUntil([&] { return events.size() >= step.then.size(); },
                  [] { QCoreApplication::processEvents(); }, std::chrono::seconds(2));
        // Anything the step would wrongly cause arrives within this pause too.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
        while (std::chrono::steady_clock::now() < until) {
            QCoreApplication::processEvents();
        }
        EXPECT_EQ(events, step.then) << step.what;
    }
    EXPECT_FALSE(state->screensAsleep());
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(logind.delaysTaken(), 2);
    sources.reset();
}

} // namespace
} // namespace ulvarend

#include "logind_lock_test.moc"
