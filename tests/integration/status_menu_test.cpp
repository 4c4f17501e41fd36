#include "Implementations/StatusMenuController.h"
#include "support/Mocks.h"
#include "support/OffscreenApplication.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using ::testing::_;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SaveArg;

class StatusMenuTest : public testing::OffscreenApplicationTest {
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
    // The offscreen desktop has no status area: the agent goes on and keeps looking for one.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        EXPECT_FALSE(controller->trayIcon().isVisible());
        EXPECT_TRUE(controller->waitingForStatusArea());
    }
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
