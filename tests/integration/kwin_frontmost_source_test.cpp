// The KWin source on a private session bus, against a stand-in for KWin's scripting interface
// on a connection of this process. The stand-in lives on the main thread, as the source does,
// so it can answer only while the main thread runs its event loop: a source that waited for
// KWin in the main thread would wait in vain, as the agent would behind a hung KWin.

#include "platform/FrontmostApplicationSource.h"
#include "support/ChildProcess.h"
#include "support/SessionBusSuite.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QObject>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

namespace ulvarend::platform {
namespace {

using namespace ulvarend::testing;
using namespace std::chrono_literals;

class FakeScripting : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.kwin.Scripting")

public:
    QStringList calls;

public slots:
    int loadScript(const QString&, const QString& plugin) {
        calls << "load " + plugin;
        return 1;
    }
    bool unloadScript(const QString& plugin) {
        calls << "unload " + plugin;
        return true;
    }
};

class FakeScript : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.kwin.Script")

public:
    int runs = 0;
    // As KWin's script does, what is in front is told before KWin answers that it runs.
    std::function<void()> onRun;

public slots:
    void run() {
        ++runs;
        if (onRun) {
            onRun();
        }
    }
};

class KWinFrontmostSourceTest : public SessionBusSuite {
protected:
    static void SetUpTestSuite() { startSuite(); }

    static bool eventually(const std::function<bool()>& condition) {
        return waitUntil(
            condition, [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); }, 20s);
    }
};

TEST_F(KWinFrontmostSourceTest, KWinIsNeverWaitedForInTheMainThread) {
    QDBusConnection kwin = QDBusConnection::connectToBus(QString::fromStdString(address), "kwin");
    FakeScripting scripting;
    FakeScript script;
    ASSERT_TRUE(kwin.registerObject("/Scripting", &scripting, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(
        kwin.registerObject("/Scripting/Script1", &script, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(kwin.registerService("org.kde.KWin"));
    const auto tell = [&](QVariantList arguments) {
        auto message =
            QDBusMessage::createMethodCall("org.ulvarend.Agent", "/org/ulvarend/Agent/KWin",
                                           "org.ulvarend.KWinScript", "Activated");
        message.setArguments(arguments);
        kwin.asyncCall(message);
    };
    script.onRun = [&] { tell({true, QString("org.example.First"), QString("1")}); };

    std::vector<std::string> errors;
    auto source = makeKWinFrontmostSource([&](const std::string& e) { errors.push_back(e); },
                                          [](const std::string&) {});
    // KWin is there, so the source counts as working while it answers.
    EXPECT_TRUE(source->working(nullptr));
    ASSERT_TRUE(eventually([&] { return script.runs == 1; }))
        << "the calls to KWin were not answered";
    EXPECT_EQ(scripting.calls,
              (QStringList{"unload ulvarend-frontmost", "load ulvarend-frontmost"}));

    EXPECT_TRUE(eventually([&] {
        const auto front = source->frontmostApplication();
        return front && front->identifier == "org.example.First";
    }));

    // What the script tells comes from KWin's connection, and is heard.
    auto told = QDBusMessage::createMethodCall("org.ulvarend.Agent", "/org/ulvarend/Agent/KWin",
                                               "org.ulvarend.KWinScript", "Activated");
    told << true << QString("org.example.Alpha");
    kwin.asyncCall(told);
    EXPECT_TRUE(eventually([&] {
        const auto front = source->frontmostApplication();
        return front && front->identifier == "org.example.Alpha";
    }));

    // A window without a name is told apart by the number the script gives it; a script left
    // by an earlier agent gives none.
    const auto windowInFront = [&] {
        const auto front = source->frontmostApplication();
        return front ? front->window : std::nullopt;
    };
    tell({true, QString(), QString("7")});
    EXPECT_TRUE(eventually([&] { return windowInFront() == "kwin:7"; }));
    tell({true, QString(), QString()});
    EXPECT_TRUE(eventually([&] { return source->frontmostApplication() && !windowInFront(); }));
    tell({true, QString("org.example.Beta"), QString("8")});
    EXPECT_TRUE(eventually([&] { return windowInFront() == "kwin:8"; }));
    tell({true, QString()});
    EXPECT_TRUE(eventually([&] { return source->frontmostApplication() && !windowInFront(); }));
    EXPECT_TRUE(errors.empty());
    QDBusConnection::disconnectFromBus("kwin");
}

} // namespace
} // namespace ulvarend::platform

#include "kwin_frontmost_source_test.moc"
