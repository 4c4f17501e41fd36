#include "Implementations/ActiveWindowHandler.h"

#include <string>

namespace ulvarend {

ActiveWindowHandler::ActiveWindowHandler(
    std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler_,
    std::shared_ptr<platform::FrontmostApplicationSource> frontmostSource_)
    : dateTimeHandler(std::move(dateTimeHandler_)), frontmostSource(std::move(frontmostSource_)) {}

std::optional<ActiveWindow> ActiveWindowHandler::updateActiveWindow() {
    std::lock_guard lock(lookMutex);

    const auto frontmost = frontmostSource->frontmostApplication();
    if (!frontmost) {
        return std::nullopt;
    }
    const auto now = dateTimeHandler->now();
    auto identifier = frontmost->identifier.value_or(std::string(kUnknownApplication));

    if (!currentActiveWindow) {
        currentActiveWindow = ActiveWindow{std::move(identifier), now, std::nullopt};
        currentIsLockScreen = frontmost->isLockScreen;
        return std::nullopt;
    }
    if (frontmost->isLockScreen && currentIsLockScreen) {
        return std::nullopt;
    }
    // An application without an identifier cannot be told apart from the previous one, so
    // every look at it closes the open session.
    if (!frontmost->isLockScreen && !currentIsLockScreen && frontmost->identifier &&
        *frontmost->identifier == currentActiveWindow->bundleIdentifier) {
        return std::nullopt;
    }

    ActiveWindow closed = std::move(*currentActiveWindow);
    closed.endTime = now;
    const bool closedIsLockScreen = currentIsLockScreen;
    currentActiveWindow = ActiveWindow{std::move(identifier), now, std::nullopt};
    currentIsLockScreen = frontmost->isLockScreen;

    if (closedIsLockScreen) {
        return std::nullopt;
    }
    return closed;
}

} // namespace ulvarend
