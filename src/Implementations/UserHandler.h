#pragma once

#include "interfaces/AlertHandlerProtocol.h"
#include "interfaces/SettingsProtocol.h"
#include "interfaces/UserHandlerProtocol.h"
#include "interfaces/UserWindowClosedDelegate.h"
#include "interfaces/UserWindowProtocol.h"

#include <memory>
#include <string>
#include <vector>

namespace ulvarend {

class UserHandler final : public UserHandlerProtocol,
                          public UserWindowClosedDelegate,
                          public std::enable_shared_from_this<UserHandler> {
public:
    UserHandler(std::shared_ptr<AlertHandlerProtocol> alertHandler,
                std::shared_ptr<UserWindowProtocol> userWindow,
                std::shared_ptr<SettingsProtocol> settings);

    void verifyCurrentUser() override;
    void showUserWindow(bool invokedFromStatusMenu) override;
    void addUserSessionChangesSubscriber(
        std::shared_ptr<UserSessionChangesDelegate> subscriber) override;

    void userWindowClosed() override;

private:
    void tellStarted(const std::string& user);
    void tellEnded(const std::string& user);

    std::shared_ptr<AlertHandlerProtocol> alertHandler;
    std::shared_ptr<UserWindowProtocol> userWindow;
    std::shared_ptr<SettingsProtocol> settings;
    std::vector<std::shared_ptr<UserSessionChangesDelegate>> userSessionChangesSubscribers;
    bool showUserWindowInvokedFromStatusMenu = false;
    // Asked for the window again while it is open, the handler keeps what the first opening
    // will announce when it closes.
    bool userWindowOpen = false;
    std::string userBeforeUserWindowWasShown;
};

} // namespace ulvarend
