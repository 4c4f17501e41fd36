#pragma once

#include "interfaces/ActiveWindow.h"

#include <optional>

namespace ulvarend {

class ActiveWindowHandlerProtocol {
public:
    virtual ~ActiveWindowHandlerProtocol() = default;
    // The session this look closed, if any.
    virtual std::optional<ActiveWindow> updateActiveWindow() = 0;
};

} // namespace ulvarend
