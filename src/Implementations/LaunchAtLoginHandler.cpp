#include "Implementations/LaunchAtLoginHandler.h"

namespace ulvarend {

LaunchAtLoginHandler::LaunchAtLoginHandler(std::shared_ptr<platform::LoginItem> loginItem)
    : loginItem(std::move(loginItem)) {}

bool LaunchAtLoginHandler::setIsEnabled(bool isEnabled) {
    return loginItem->setEnabled(isEnabled);
}

} // namespace ulvarend
