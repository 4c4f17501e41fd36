#include "Implementations/LaunchAtLoginHandler.h"

namespace ulvarend {

LaunchAtLoginHandler::LaunchAtLoginHandler(std::shared_ptr<platform::LoginItem> loginItem)
    : loginItem(std::move(loginItem)) {}

void LaunchAtLoginHandler::setIsEnabled(bool isEnabled) {
    loginItem->setEnabled(isEnabled);
}

} // namespace ulvarend
