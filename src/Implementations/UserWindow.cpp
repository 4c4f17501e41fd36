#include "Implementations/UserWindow.h"

#include "platform/qt/WindowPlacement.h"
#include "ui_UserWindow.h"

#include <QCloseEvent>
#include <algorithm>

namespace ulvarend {

UserWindow::UserWindow(std::shared_ptr<SettingsProtocol> settings_)
    : QWidget(nullptr, Qt::Window | Qt::WindowStaysOnTopHint), settings(std::move(settings_)),
      createUserWindow(std::make_unique<CreateUserWindow>()),
      ui(std::make_unique<Ui::UserWindow>()) {
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Brugerhåndtering"));
    createUserWindow->setUserCreatedDelegate(this);
}

UserWindow::~UserWindow() = default;

void UserWindow::show(std::shared_ptr<UserWindowClosedDelegate> delegate) {
    userWindowClosedDelegate = delegate;
    centreOnScreen(*this);
    QWidget::show();
    raise();
    activateWindow();
    // Every opening starts again from what is stored.
    unsavedUserList = settings->userList();
    unsavedCurrentUser = settings->currentUser();
    updateOneUserRequiredWarning();
    refreshUserListMenu();
}

void UserWindow::bringToFront() {
    if (!isVisible()) {
        // Closed without its delegate hearing of it: open it afresh rather than raise nothing.
        if (const auto delegate = userWindowClosedDelegate.lock()) {
            show(delegate);
        }
        return;
    }
    raise();
    activateWindow();
}

void UserWindow::refreshUserListMenu() {
    QComboBox& menu = *ui->userListMenu;
    menu.clear();
    for (const auto& name : unsavedUserList.value_or(std::vector<std::string>{})) {
        menu.addItem(QString::fromStdString(name));
    }
    // No matching item leaves nothing selected rather than silently the first name.
    menu.setCurrentIndex(menu.findText(QString::fromStdString(unsavedCurrentUser.value_or("")),
                                       Qt::MatchExactly | Qt::MatchCaseSensitive));
}

void UserWindow::updateOneUserRequiredWarning() {
    const bool noUsers = !unsavedUserList || unsavedUserList->empty();
    const bool noCurrentUser = !unsavedCurrentUser || unsavedCurrentUser->empty();
    ui->oneUserRequiredWarning->setText(
        noUsers || noCurrentUser ? QStringLiteral("Du skal mindst have én bruger.") : QString());
}

void UserWindow::deleteChosenUserButtonClicked() {
    const QComboBox& menu = *ui->userListMenu;
    if (menu.currentIndex() < 0 || !unsavedUserList) {
        return;
    }
    const std::string chosen = menu.currentText().toStdString();
    auto& users = *unsavedUserList;
    const auto found = std::find(users.begin(), users.end(), chosen);
    if (found == users.end()) {
        return;
    }
    users.erase(found);
    unsavedCurrentUser = users.empty() ? std::string() : users.front();
    updateOneUserRequiredWarning();
    refreshUserListMenu();
}

void UserWindow::createUserButtonClicked() {
    createUserWindow->show();
}

void UserWindow::userCreated(const std::string& name) {
    if (!unsavedUserList) {
        unsavedUserList.emplace();
    }
    unsavedUserList->push_back(name);
    if (!unsavedCurrentUser || unsavedCurrentUser->empty()) {
        unsavedCurrentUser = name;
    }
    updateOneUserRequiredWarning();
    refreshUserListMenu();
}

void UserWindow::saveChangesButtonClicked() {
    const QComboBox& menu = *ui->userListMenu;
    std::optional<std::string> selected;
    if (menu.currentIndex() >= 0) {
        selected = menu.currentText().toStdString();
    }
    if (!unsavedUserList || unsavedUserList->empty()) {
        return;
    }
    if (!unsavedCurrentUser || unsavedCurrentUser->empty()) {
        return;
    }
    settings->setUserList(*unsavedUserList);
    if (selected) {
        settings->setCurrentUser(*selected);
    }
    close();
}

void UserWindow::closeEvent(QCloseEvent* event) {
    unsavedCurrentUser = settings->currentUser();
    unsavedUserList = settings->userList();
    refreshUserListMenu();
    updateOneUserRequiredWarning();
    if (createUserWindow->isVisible()) {
        createUserWindow->close();
    }
    event->accept();
    if (const auto delegate = userWindowClosedDelegate.lock()) {
        delegate->userWindowClosed();
    }
}

} // namespace ulvarend
