#pragma once

#include "interfaces/LaunchAtLoginHandlerProtocol.h"
#include "platform/LoginItem.h"

#include <memory>

namespace ulvarend {

class LaunchAtLoginHandler final : public LaunchAtLoginHandlerProtocol {
public:
    explicit LaunchAtLoginHandler(std::shared_ptr<platform::LoginItem> loginItem);

    bool setIsEnabled(bool isEnabled) override;

private:
    std::shared_ptr<platform::LoginItem> loginItem;
};

} // namespace ulvarend
