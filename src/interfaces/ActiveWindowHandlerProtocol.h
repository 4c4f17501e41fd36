#pragma once

#include "interfaces/ActiveWindow.h"

#include <optional>

namespace ulvarend {

class ActiveWindowHandlerProtocol {
public:
    virtual ~ActiveWindowHandlerProtocol() = default;
    // The session this look closed, if any.
    virtual std::optional<ActiveWindow> updateActiveWindow() = 0;
    // Ends the open session now, as when the screens go to sleep or the agent quits; the next
    // look that finds an application in front opens a new one.
    virtual std::optional<ActiveWindow> closeActiveWindow() = 0;
};

} // namespace ulvarend
