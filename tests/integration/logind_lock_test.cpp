#include "platform/ScreenSources.h"
#include "support/ChildProcess.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QThread>
#include <QVariantMap>
#include <filesystem>
#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using namespace ulvarend::testing;

constexpr const char* kSessionPath = "/org/freedesktop/login1/session/test";

// logind's session, as far as the lock hint goes.
class FakeSession : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Session")
    Q_PROPERTY(bool LockedHint READ lockedHint)

public:
    bool locked = false;
    bool lockedHint() const { return locked; }
};

class FakeManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public slots:
    QDBusObjectPath GetSessionByPID(uint) { return QDBusObjectPath(kSessionPath); }
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
    ~FakeLogind() {
        QMetaObject::invokeMethod(
            &session, [] { QDBusConnection::disconnectFromBus("fake-logind"); },
            Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }

    void setLocked(bool locked) {
        QMetaObject::invokeMethod(
            &session,
            [this, locked] {
                session.locked = locked;
                auto signal = QDBusMessage::createSignal(
                    kSessionPath, "org.freedesktop.DBus.Properties", "PropertiesChanged");
                signal << QString("org.freedesktop.login1.Session")
                       << QVariantMap{{"LockedHint", locked}} << QStringList{};
                QDBusConnection(QString("fake-logind")).send(signal);
            },
            Qt::BlockingQueuedConnection);
    }

    void setLockedQuietly(bool locked) {
        QMetaObject::invokeMethod(
            &session, [this, locked] { session.locked = locked; }, Qt::BlockingQueuedConnection);
    }

private:
    QThread thread;
    FakeSession session;
    FakeManager manager;
};

TEST(LogindLockTest, TheSessionsLockedHintIsReadAtStartAndFollowed) {
    const auto socket = std::filesystem::temp_directory_path() /
                        ("ulvarend-system-bus-" + std::to_string(getpid()));
    const std::string address = "unix:path=" + socket.string();
    ChildProcess bus({"dbus-daemon", "--session", "--nofork", "--address=" + address});
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(socket); }, [] {}));
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
        state, [&](const std::string& error) { errors.push_back(error); });
    // Locked before the agent started: asleep from the start.
    EXPECT_TRUE(state->screensAsleep());
    EXPECT_TRUE(errors.empty());

    logind.setLocked(false);
    EXPECT_TRUE(
        waitUntil([&] { return events.size() >= 2; }, [] { QCoreApplication::processEvents(); }));
    logind.setLocked(true);
    EXPECT_TRUE(
        waitUntil([&] { return events.size() >= 3; }, [] { QCoreApplication::processEvents(); }));
    EXPECT_EQ(events, (std::vector<std::string>{"sleep", "wake", "sleep"}));
    sources.reset();
}

} // namespace
} // namespace ulvarend

#include "logind_lock_test.moc"
