#pragma once

#include "interfaces/UserWindowClosedDelegate.h"

#include <memory>

namespace ulvarend {

class UserWindowProtocol {
public:
    virtual ~UserWindowProtocol() = default;
    virtual void show(std::shared_ptr<UserWindowClosedDelegate> userWindowClosedDelegate) = 0;
    // Raises the window that is open, keeping what was chosen in it so far.
    virtual void bringToFront() = 0;
};

} // namespace ulvarend
