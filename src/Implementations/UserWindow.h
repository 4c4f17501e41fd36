#pragma once

#include "Implementations/CreateUserWindow.h"
#include "interfaces/SettingsProtocol.h"
#include "interfaces/UserCreatedDelegate.h"
#include "interfaces/UserWindowProtocol.h"

#include <QWidget>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Ui {
class UserWindow;
}

namespace ulvarend {

// Lets the participant delete, create and choose the household's users. Edits stay in working
// copies until they are saved; closing the window any other way throws them away.
class UserWindow final : public QWidget, public UserWindowProtocol, public UserCreatedDelegate {
    Q_OBJECT

public:
    explicit UserWindow(std::shared_ptr<SettingsProtocol> settings);
    ~UserWindow() override;

    void show(std::shared_ptr<UserWindowClosedDelegate> userWindowClosedDelegate) override;
    void bringToFront() override;
    void userCreated(const std::string& name) override;

    CreateUserWindow& newUserWindow() { return *createUserWindow; }

public slots:
    void deleteChosenUserButtonClicked();
    void createUserButtonClicked();
    void saveChangesButtonClicked();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void refreshUserListMenu();
    void updateOneUserRequiredWarning();

    std::shared_ptr<SettingsProtocol> settings;
    std::unique_ptr<CreateUserWindow> createUserWindow;
    std::unique_ptr<Ui::UserWindow> ui;
    // Weak: the delegate (the user handler) owns this window.
    std::weak_ptr<UserWindowClosedDelegate> userWindowClosedDelegate;
    std::optional<std::vector<std::string>> unsavedUserList;
    // The empty string means that no user is left after the last one was deleted.
    std::optional<std::string> unsavedCurrentUser;
};

} // namespace ulvarend
