#include "Implementations/CreateUserWindow.h"
#include "Implementations/UserWindow.h"
#include "support/Mocks.h"
#include "support/OffscreenApplication.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using ::testing::NiceMock;

const QString warning = QStringLiteral("Du skal mindst have én bruger.");

// The stored user list and current user, held in memory. Like the real store it refuses a
// current user that is not in the list.
struct StoredUsers {
    std::vector<std::string> users;
    std::string current;
    int userListWrites = 0;
    int currentUserWrites = 0;
};

std::shared_ptr<NiceMock<testing::MockSettings>> settingsOver(StoredUsers& stored) {
    auto settings = std::make_shared<NiceMock<testing::MockSettings>>();
    ON_CALL(*settings, userList).WillByDefault([&stored] { return stored.users; });
    ON_CALL(*settings, currentUser).WillByDefault([&stored] { return stored.current; });
    ON_CALL(*settings, setUserList).WillByDefault([&stored](const auto& users) {
        stored.users = users;
        ++stored.userListWrites;
    });
    ON_CALL(*settings, setCurrentUser).WillByDefault([&stored](const std::string& user) {
        ASSERT_NE(std::find(stored.users.begin(), stored.users.end(), user), stored.users.end())
            << "current user not in the user list: " << user;
        stored.current = user;
        ++stored.currentUserWrites;
    });
    return settings;
}

class CountingClosedDelegate : public UserWindowClosedDelegate {
public:
    void userWindowClosed() override { ++calls; }
    int calls = 0;
};

class UserWindowsTest : public testing::OffscreenApplicationTest {
protected:
    static void SetUpTestSuite() {
        OffscreenApplicationTest::SetUpTestSuite();
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void open(std::vector<std::string> users, std::string current) {
        stored.users = std::move(users);
        stored.current = std::move(current);
        window->show(closed);
    }

    QComboBox& popup() { return *window->findChild<QComboBox*>("userListMenu"); }
    QString warningText() { return window->findChild<QLabel*>("oneUserRequiredWarning")->text(); }
    QStringList listed() {
        QStringList names;
        for (int i = 0; i < popup().count(); ++i) {
            names << popup().itemText(i);
        }
        return names;
    }
    static void click(QWidget& window, const QString& label) {
        for (auto* button : window.findChildren<QPushButton*>()) {
            if (button->text() == label) {
                button->click();
                return;
            }
        }
        FAIL() << "no button " << label.toStdString();
    }
    QLineEdit& nameField() {
        return *window->newUserWindow().findChild<QLineEdit*>("newUserTextField");
    }
    void create(const QString& newName) {
        click(*window, "Opret ny bruger");
        nameField().setText(newName);
        click(window->newUserWindow(), "Opret");
    }

    StoredUsers stored;
    std::shared_ptr<UserWindow> window = std::make_shared<UserWindow>(settingsOver(stored));
    std::shared_ptr<CountingClosedDelegate> closed = std::make_shared<CountingClosedDelegate>();
};

TEST_F(UserWindowsTest, ShowsTheStoredUsersWithTheCurrentOneChosenAboveOtherWindows) {
    open({"Anna", "Bo"}, "Bo");
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Brugerhåndtering");
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(listed(), (QStringList{"Anna", "Bo"}));
    EXPECT_EQ(popup().currentText(), "Bo");
    EXPECT_EQ(warningText(), "");

    click(*window, "Opret ny bruger");
    auto& newUser = window->newUserWindow();
    EXPECT_TRUE(newUser.isVisible());
    EXPECT_EQ(newUser.windowTitle(), "Opret en ny bruger");
    EXPECT_TRUE(newUser.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

TEST_F(UserWindowsTest, DeletingAnotherUserMakesTheFirstNameTheWorkingCurrentUser) {
    open({"Anna", "Bo", "Cy"}, "Cy");
    popup().setCurrentIndex(1);
    click(*window, "Slet valgt bruger");
    EXPECT_EQ(listed(), (QStringList{"Anna", "Cy"}));
    EXPECT_EQ(popup().currentText(), "Anna");
    EXPECT_EQ(stored.userListWrites, 0);
}

TEST_F(UserWindowsTest, DeletingOnlyTheFirstOfTwoEqualNames) {
    open({"Anna", "Bo", "Anna"}, "Bo");
    popup().setCurrentIndex(2);
    click(*window, "Slet valgt bruger");
    EXPECT_EQ(listed(), (QStringList{"Bo", "Anna"}));
}

TEST_F(UserWindowsTest, WithoutUsersSavingIsRefusedUntilOneIsCreated) {
    open({"Anna", "Bo"}, "Anna");
    click(*window, "Slet valgt bruger");
    click(*window, "Slet valgt bruger");
    EXPECT_TRUE(listed().isEmpty());
    EXPECT_EQ(warningText(), warning);
    // Nothing selected: deleting again does nothing.
    click(*window, "Slet valgt bruger");

    click(*window, "Gem ændringer");
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(stored.userListWrites, 0);
    EXPECT_EQ(closed->calls, 0);

    create("Dan");
    EXPECT_FALSE(window->newUserWindow().isVisible());
    EXPECT_EQ(nameField().text(), "");
    EXPECT_EQ(listed(), (QStringList{"Dan"}));
    EXPECT_EQ(popup().currentText(), "Dan");
    EXPECT_EQ(warningText(), "");

    click(*window, "Gem ændringer");
    EXPECT_EQ(stored.users, (std::vector<std::string>{"Dan"}));
    EXPECT_EQ(stored.current, "Dan");
}

TEST_F(UserWindowsTest, NewNamesAreTakenAsTypedAndAnEmptyOneIsIgnored) {
    open({"Anna", "Bo"}, "Bo");
    create("Anna");
    create("  ");
    EXPECT_EQ(listed(), (QStringList{"Anna", "Bo", "Anna", "  "}));
    // A new name does not replace a working current user.
    EXPECT_EQ(popup().currentText(), "Bo");

    click(*window, "Opret ny bruger");
    nameField().clear();
    click(window->newUserWindow(), "Opret");
    EXPECT_TRUE(window->newUserWindow().isVisible());
    EXPECT_EQ(popup().count(), 4);

    // Cancelling keeps the typed text for the next opening.
    nameField().setText("Eva");
    click(window->newUserWindow(), "Annuller");
    EXPECT_FALSE(window->newUserWindow().isVisible());
    click(*window, "Opret ny bruger");
    EXPECT_EQ(nameField().text(), "Eva");
}

TEST_F(UserWindowsTest, SavingStoresTheListAndTheChosenUserAndClosesOnce) {
    open({"Anna", "Bo"}, "Bo");
    create("Cy");
    popup().setCurrentIndex(0);
    click(*window, "Gem ændringer");
    EXPECT_EQ(stored.users, (std::vector<std::string>{"Anna", "Bo", "Cy"}));
    EXPECT_EQ(stored.current, "Anna");
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(closed->calls, 1);
}

TEST_F(UserWindowsTest, ClosingWithoutSavingThrowsTheEditsAway) {
    open({"Anna", "Bo"}, "Bo");
    click(*window, "Slet valgt bruger");
    window->close();
    EXPECT_EQ(stored.users, (std::vector<std::string>{"Anna", "Bo"}));
    EXPECT_EQ(stored.userListWrites, 0);
    EXPECT_EQ(stored.currentUserWrites, 0);
    EXPECT_EQ(closed->calls, 1);
    // Reloaded at once, and again at the next opening.
    EXPECT_EQ(listed(), (QStringList{"Anna", "Bo"}));
    window->show(closed);
    EXPECT_EQ(listed(), (QStringList{"Anna", "Bo"}));
    EXPECT_EQ(popup().currentText(), "Bo");
}

TEST_F(UserWindowsTest, ClosingClosesTheNewUserWindowToo) {
    open({"Anna"}, "Anna");
    click(*window, "Opret ny bruger");
    ASSERT_TRUE(window->newUserWindow().isVisible());
    window->close();
    EXPECT_FALSE(window->newUserWindow().isVisible());
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(closed->calls, 1);
}

TEST_F(UserWindowsTest, AGoneDelegateIsNotCalledAndTheLatestOneIsTold) {
    open({"Anna"}, "Anna");
    closed.reset();
    window->close();

    auto first = std::make_shared<CountingClosedDelegate>();
    auto second = std::make_shared<CountingClosedDelegate>();
    window->show(first);
    window->show(second);
    window->close();
    EXPECT_EQ(first->calls, 0);
    EXPECT_EQ(second->calls, 1);
}

} // namespace
} // namespace ulvarend
