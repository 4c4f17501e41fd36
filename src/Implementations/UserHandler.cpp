#include "Implementations/UserHandler.h"

namespace ulvarend {

UserHandler::UserHandler(std::shared_ptr<AlertHandlerProtocol> alertHandler_,
                         std::shared_ptr<UserWindowProtocol> userWindow_,
                         std::shared_ptr<SettingsProtocol> settings_)
    : alertHandler(std::move(alertHandler_)), userWindow(std::move(userWindow_)),
      settings(std::move(settings_)), userBeforeUserWindowWasShown(settings->currentUser()) {}

void UserHandler::verifyCurrentUser() {
    const std::string user = settings->currentUser();
    if (settings->userCount() < 2) {
        tellStarted(user);
        return;
    }
    if (alertHandler->showCurrentUserAlert(user)) {
        // Someone else is at the computer: their session starts when the window closes.
        showUserWindowInvokedFromStatusMenu = false;
        userBeforeUserWindowWasShown = settings->currentUser();
        userWindowOpen = true;
        userWindow->show(shared_from_this());
        return;
    }
    tellStarted(user);
}

void UserHandler::showUserWindow(bool invokedFromStatusMenu) {
    if (userWindowOpen) {
        userWindow->bringToFront();
        return;
    }
    userWindowOpen = true;
    showUserWindowInvokedFromStatusMenu = invokedFromStatusMenu;
    userBeforeUserWindowWasShown = settings->currentUser();
    userWindow->show(shared_from_this());
}

void UserHandler::addUserSessionChangesSubscriber(
    std::shared_ptr<UserSessionChangesDelegate> subscriber) {
    userSessionChangesSubscribers.push_back(std::move(subscriber));
}

void UserHandler::userWindowClosed() {
    userWindowOpen = false;
    const std::string user = settings->currentUser();
    if (!showUserWindowInvokedFromStatusMenu) {
        tellStarted(user);
        return;
    }
    if (user == userBeforeUserWindowWasShown) {
        return;
    }
    tellEnded(userBeforeUserWindowWasShown);
    tellStarted(user);
}

// Copies of the list are walked: a subscriber may subscribe others while it is told.
void UserHandler::tellStarted(const std::string& user) {
    const auto subscribers = userSessionChangesSubscribers;
    for (const auto& subscriber : subscribers) {
        subscriber->userSessionStarted(user);
    }
}

void UserHandler::tellEnded(const std::string& user) {
    const auto subscribers = userSessionChangesSubscribers;
    for (const auto& subscriber : subscribers) {
        subscriber->userSessionEnded(user);
    }
}

} // namespace ulvarend
