#pragma once

#include "interfaces/ActiveWindowHandlerProtocol.h"
#include "interfaces/DateTimeHandlerProtocol.h"
#include "platform/FrontmostApplicationSource.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

namespace ulvarend {

class ActiveWindowHandler final : public ActiveWindowHandlerProtocol {
public:
    static constexpr std::string_view kUnknownApplication = "ukendt-applikation";

    ActiveWindowHandler(std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler,
                        std::shared_ptr<platform::FrontmostApplicationSource> frontmostSource);

    std::optional<ActiveWindow> updateActiveWindow() override;

private:
    std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler;
    std::shared_ptr<platform::FrontmostApplicationSource> frontmostSource;
    // Polling loops hand over to each other on network changes; a loop that is being replaced
    // may still be inside a look when the next one starts, so looks are taken one at a time.
    std::mutex lookMutex;
    std::optional<ActiveWindow> currentActiveWindow;
    // Whether the open session is the lock screen's, which is never handed back.
    bool currentIsLockScreen = false;
};

} // namespace ulvarend
