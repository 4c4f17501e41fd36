#include "Implementations/StatusMenuController.h"
#include "support/ChildProcess.h"
#include "support/Mocks.h"
#include "support/OffscreenApplication.h"
#include "support/PrivateBus.h"
#include "support/XServer.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QMenu>
#include <QProcess>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
// Options that ASAN_OPTIONS does not set come from here.
extern "C" const char* __asan_default_options() {
    return "suppressions=" ULVAREND_ASAN_SUPPRESSIONS;
}
#endif

namespace ulvarend {
namespace {

using ::testing::_;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SaveArg;

// The desktop draws the menu: an X display and a session bus with a stand-in status area,
// where Qt hands the menu over as a D-Bus menu. Names the item's bus name in `itemService`.
class StatusAreaOnTheBusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = testing::makeTemporaryFolder("ulvarend-bus-");
        display = std::make_unique<testing::XServer>();
        bus = std::make_unique<testing::PrivateBus>(folder / "bus");
        setenv("DBUS_SESSION_BUS_ADDRESS", bus->address.c_str(), 1);
        setenv("DISPLAY", display->display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        watcher = std::make_unique<testing::ChildProcess>(
            std::vector<std::string>{"sh", "-c",
                                     "exec " + testing::quoted(ULVAREND_SNI_WATCHER) + " >" +
                                         testing::quoted((folder / "items").string())});
        ASSERT_TRUE(testing::waitUntil([] { return !itemService(true).empty(); }, [] {}));
        argv[0] = program_invocation_short_name;
        application = std::make_unique<QApplication>(argc, argv);
    }
    static void TearDownTestSuite() {
        application.reset();
        watcher.reset();
        bus.reset();
        display.reset();
        unsetenv("DISPLAY");
        std::filesystem::remove_all(folder);
    }

public:
    // The last line the stand-in wrote: "ready" at first, then "<time> <service>" per item.
    static std::string itemService(bool ready = false) {
        std::ifstream items(folder / "items");
        std::string line, last;
        while (std::getline(items, line)) {
            last = line;
        }
        return ready ? (last.empty() ? "" : "ready") : last.substr(last.find(' ') + 1);
    }

private:
    static inline std::filesystem::path folder;
    static inline std::unique_ptr<testing::XServer> display;
    static inline std::unique_ptr<testing::PrivateBus> bus;
    static inline std::unique_ptr<testing::ChildProcess> watcher;
    static inline int argc = 1;
    static inline char* argv[] = {nullptr, nullptr};
    static inline std::unique_ptr<QApplication> application;
};

template <class Desktop> class StatusMenuFixture : public Desktop {
protected:
    void SetUp() override {
        ON_CALL(*settings, appHasBeenSetup).WillByDefault([this] { return setUp; });
        ON_CALL(*settings, currentUser).WillByDefault([this] { return current; });
        ON_CALL(*settings, addAppHasBeenSetupChangedSubscriber)
            .WillByDefault(SaveArg<0>(&setupSubscriber));
        ON_CALL(*userHandler, addUserSessionChangesSubscriber)
            .WillByDefault(SaveArg<0>(&sessionSubscriber));
    }

    QAction* item(const QString& text) {
        for (auto* action : controller->menu().actions()) {
            if (action->text() == text) {
                return action;
            }
        }
        return nullptr;
    }

    bool setUp = false;
    std::string current;
    int quits = 0;
    std::shared_ptr<NiceMock<testing::MockSettings>> settings =
        std::make_shared<NiceMock<testing::MockSettings>>();
    std::shared_ptr<NiceMock<testing::MockUserHandler>> userHandler =
        std::make_shared<NiceMock<testing::MockUserHandler>>();
    std::shared_ptr<AppHasBeenSetupDelegate> setupSubscriber;
    std::shared_ptr<UserSessionChangesDelegate> sessionSubscriber;
    std::shared_ptr<StatusMenuController> controller =
        std::make_shared<StatusMenuController>(userHandler, settings, [this] { ++quits; });
};

using StatusMenuTest = StatusMenuFixture<testing::OffscreenApplicationTest>;
using StatusMenuOnTheBusTest = StatusMenuFixture<StatusAreaOnTheBusTest>;

TEST_F(StatusMenuTest, BeforeSetupTheItemSaysSoAndChoosingAUserDoesNothing) {
    EXPECT_CALL(*userHandler, showUserWindow(_)).Times(0);
    controller->awake();
    EXPECT_EQ(controller->currentUserTitle(), "Mangler opsætning");
    ASSERT_NE(item("Mangler opsætning"), nullptr);
    EXPECT_FALSE(item("Mangler opsætning")->isEnabled());
    ASSERT_NE(item("Skift bruger…"), nullptr);
    item("Skift bruger…")->trigger();
}

TEST_F(StatusMenuTest, SetupChangesTheTitleAtOnceAndChoosingOpensTheWindowFromTheMenu) {
    controller->awake();
    ASSERT_NE(setupSubscriber, nullptr);
    setUp = true;
    current = "Anna";
    setupSubscriber->appHasBeenSetupChanged(true);
    EXPECT_EQ(controller->currentUserTitle(), "Valgte bruger: Anna");

    EXPECT_CALL(*userHandler, showUserWindow(true)).Times(1);
    item("Skift bruger…")->trigger();
}

TEST_F(StatusMenuTest, SessionStartsSetTheTitleFromTheirUserAndEndsLeaveIt) {
    setUp = true;
    current = "Anna";
    controller->awake();
    EXPECT_EQ(controller->currentUserTitle(), "Valgte bruger: Anna");
    ASSERT_NE(sessionSubscriber, nullptr);
    sessionSubscriber->userSessionStarted("Bo");
    EXPECT_EQ(controller->currentUserTitle(), "Valgte bruger: Bo");
    sessionSubscriber->userSessionEnded("Bo");
    EXPECT_EQ(controller->currentUserTitle(), "Valgte bruger: Bo");
    // Names are shown as typed, also those with a menu's shortcut mark in them.
    for (const std::string name : {"Bo & Åse", "&Anna", "B&&o"}) {
        sessionSubscriber->userSessionStarted(name);
        EXPECT_EQ(controller->currentUserTitle().toStdString(), "Valgte bruger: " + name);
        current = name;
        controller->appHasBeenSetupChanged(true);
        EXPECT_EQ(controller->currentUserTitle().toStdString(), "Valgte bruger: " + name);
    }
}

// gdbus's answer, the event loop running meanwhile: the menu is served from this thread.
QString askTheItem(const QStringList& call) {
    QProcess gdbus;
    gdbus.start("gdbus",
                QStringList{"call", "--session", "--dest",
                            QString::fromStdString(StatusMenuOnTheBusTest::itemService())} +
                    call);
    testing::waitUntil([&] { return gdbus.state() == QProcess::NotRunning; },
                       [] { QCoreApplication::processEvents(); });
    return QString::fromUtf8(gdbus.readAllStandardOutput());
}

// The menu's first item as a desktop shows it: "_" marks the next character, "__" is one.
std::string firstItemAsShown() {
    const QString menu =
        askTheItem({"--object-path", "/StatusNotifierItem", "--method",
                    "org.freedesktop.DBus.Properties.Get", "org.kde.StatusNotifierItem", "Menu"});
    const QString path = QRegularExpression("objectpath '([^']+)'").match(menu).captured(1);
    const QString layout =
        askTheItem({"--object-path", path, "--method", "com.canonical.dbusmenu.GetLayout", "--",
                    "0", "-1", "['label']"});
    const QString label = QRegularExpression("'label': <'([^']*)'>").match(layout).captured(1);
    QString shown;
    for (qsizetype i = 0; i < label.size(); ++i) {
        if (label[i] == '_' && i + 1 < label.size()) {
            ++i;
        }
        shown += label[i];
    }
    return shown.toStdString();
}

TEST_F(StatusMenuOnTheBusTest, NamesReachTheDesktopsMenuAsTyped) {
    setUp = true;
    current = "Anne_Marie";
    controller->awake();
    ASSERT_TRUE(testing::waitUntil([] { return itemService().find(':') == 0; },
                                   [] { QCoreApplication::processEvents(); }))
        << "Qt did not hand the menu to the status area";
    EXPECT_EQ(firstItemAsShown(), "Valgte bruger: Anne_Marie");
    for (const std::string name : {"Bo & Co", "A & B_C & D", "&Anna", "__x_"}) {
        sessionSubscriber->userSessionStarted(name);
        EXPECT_EQ(firstItemAsShown(), "Valgte bruger: " + name);
    }
}

TEST_F(StatusMenuTest, QuitItemCallsTheQuitPath) {
    controller->awake();
    ASSERT_NE(item("Afslut"), nullptr);
    item("Afslut")->trigger();
    EXPECT_EQ(quits, 1);
}

TEST_F(StatusMenuTest, TheIconIsOurMaskAndWaitsForAStatusArea) {
    controller->awake();
    EXPECT_TRUE(QFile::exists(":/statusIcon"));
    const QIcon icon = controller->trayIcon().icon();
    EXPECT_TRUE(icon.isMask());
    EXPECT_FALSE(icon.pixmap(22, 22).isNull());
    EXPECT_EQ(controller->trayIcon().contextMenu(), &controller->menu());
    // The offscreen desktop has no status area and can never gain one: the agent goes on
    // without the item and waits for nothing.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        EXPECT_FALSE(controller->trayIcon().isVisible());
        EXPECT_FALSE(controller->waitingForStatusArea());
    }
}

// A tray manager as an X panel is one: it owns the tray selection and announces it on the root.
void becomeTrayManager(xcb_connection_t* x) {
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    const xcb_window_t window = xcb_generate_id(x);
    xcb_create_window(x, XCB_COPY_FROM_PARENT, window, root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    const auto atom = [x](const char* name) {
        auto* reply = xcb_intern_atom_reply(
            x, xcb_intern_atom(x, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t value = reply->atom;
        std::free(reply);
        return value;
    };
    const xcb_atom_t tray = atom("_NET_SYSTEM_TRAY_S0");
    xcb_set_selection_owner(x, window, tray, XCB_CURRENT_TIME);
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = root;
    message.type = atom("MANAGER");
    message.data.data32[0] = XCB_CURRENT_TIME;
    message.data.data32[1] = tray;
    message.data.data32[2] = window;
    xcb_send_event(x, 0, root, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(x);
}

TEST_F(StatusMenuTest, AnXStatusAreaIsHeardOfWhenItComesAndWhenItIsThere) {
    testing::XServer server;
    setenv("DISPLAY", server.display().c_str(), 1);
    int calls = 0;
    auto watch = platform::watchForXStatusArea([&] { ++calls; });
    ASSERT_NE(watch, nullptr);
    const auto settle = [] {
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    };
    settle();
    EXPECT_EQ(calls, 0) << "no status area yet";

    xcb_connection_t* panel = xcb_connect(server.display().c_str(), nullptr);
    becomeTrayManager(panel);
    EXPECT_TRUE(
        testing::waitUntil([&] { return calls == 1; }, [] { QCoreApplication::processEvents(); }));

    // An agent started after the panel hears of it at once.
    int later = 0;
    auto second = platform::watchForXStatusArea([&] { ++later; });
    EXPECT_TRUE(
        testing::waitUntil([&] { return later == 1; }, [] { QCoreApplication::processEvents(); }));
    settle();
    EXPECT_EQ(later, 1);
    EXPECT_EQ(calls, 1);
    xcb_disconnect(panel);
    unsetenv("DISPLAY");
    EXPECT_EQ(platform::watchForXStatusArea([] {}), nullptr);
}

TEST_F(StatusMenuTest, SubscriptionsDoNotKeepTheControllerAlive) {
    controller->awake();
    std::weak_ptr<StatusMenuController> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired());
    // A late notification reaches nothing and does no harm.
    setupSubscriber->appHasBeenSetupChanged(true);
    sessionSubscriber->userSessionStarted("Bo");
}

} // namespace
} // namespace ulvarend
