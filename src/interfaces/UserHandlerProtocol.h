#pragma once

#include "interfaces/UserSessionChangesDelegate.h"

#include <memory>

namespace ulvarend {

class UserHandlerProtocol {
public:
    virtual ~UserHandlerProtocol() = default;
    virtual void verifyCurrentUser() = 0;
    virtual void showUserWindow(bool invokedFromStatusMenu) = 0;
    virtual void
    addUserSessionChangesSubscriber(std::shared_ptr<UserSessionChangesDelegate> subscriber) = 0;
};

} // namespace ulvarend
