#include "Implementations/ActiveWindowHandler.h"

#include <algorithm>
#include <string>
#include <utility>

namespace ulvarend {

ActiveWindowHandler::ActiveWindowHandler(
    std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler_,
    std::shared_ptr<platform::FrontmostApplicationSource> frontmostSource_)
    : dateTimeHandler(std::move(dateTimeHandler_)), frontmostSource(std::move(frontmostSource_)) {}

std::optional<ActiveWindow> ActiveWindowHandler::updateActiveWindow() {
    std::lock_guard lock(lookMutex);

    const auto frontmost = frontmostSource->frontmostApplication();
    const auto now = dateTimeHandler->now();
    // After a gap the open session is known to have lasted until the last look, no longer.
    std::optional<ActiveWindow> closed;
    if (currentActiveWindow && isGapSinceLastLook(now)) {
        closed = endAt(nothingInFrontSince.value_or(*lastLook));
    }
    lastLook = now;

    if (!frontmost) {
        if (!currentActiveWindow) {
            return closed;
        }
        if (!nothingInFrontSince) {
            nothingInFrontSince = now;
            return std::nullopt;
        }
        return endAt(*nothingInFrontSince);
    }
    const auto interruptedAt = std::exchange(nothingInFrontSince, std::nullopt);
    auto identifier = frontmost->identifier.value_or(std::string(kUnknownApplication));

    if (!currentActiveWindow) {
        open(*frontmost, std::move(identifier), now);
        return closed;
    }
    if (frontmost->isLockScreen && currentIsLockScreen) {
        return std::nullopt;
    }
    if (!frontmost->isLockScreen && !currentIsLockScreen && isOpenSession(*frontmost)) {
        return std::nullopt;
    }
    closed = endAt(interruptedAt.value_or(now));
    open(*frontmost, std::move(identifier), now);
    return closed;
}

void ActiveWindowHandler::open(const platform::FrontmostApplication& frontmost,
                               std::string identifier, TimePoint now) {
    currentActiveWindow = ActiveWindow{std::move(identifier), now, std::nullopt};
    currentIsLockScreen = frontmost.isLockScreen;
    currentIsIdentified = frontmost.identifier.has_value();
    currentWindow = frontmost.window;
}

bool ActiveWindowHandler::isOpenSession(const platform::FrontmostApplication& frontmost) const {
    if (frontmost.identifier) {
        return *frontmost.identifier == currentActiveWindow->bundleIdentifier;
    }
    // An application without an identifier is told apart by its window: as long as the same
    // window stays in front it is the same session. Without a window to go by, every look at
    // it closes the open session, as nothing tells it from the previous one.
    return !currentIsIdentified && frontmost.window && frontmost.window == currentWindow;
}

std::optional<ActiveWindow> ActiveWindowHandler::closeActiveWindow() {
    std::lock_guard lock(lookMutex);
    if (!currentActiveWindow) {
        return std::nullopt;
    }
    const auto now = dateTimeHandler->now();
    if (nothingInFrontSince) {
        return endAt(*nothingInFrontSince);
    }
    // Told only after a resume, the moment of sleep is long past: the last look is the end.
    return endAt(isGapSinceLastLook(now) ? *lastLook : now);
}

std::optional<ActiveWindow> ActiveWindowHandler::endAt(TimePoint end) {
    ActiveWindow closed = std::move(*currentActiveWindow);
    const bool wasLockScreen = std::exchange(currentIsLockScreen, false);
    currentActiveWindow.reset();
    currentWindow.reset();
    currentIsIdentified = false;
    nothingInFrontSince.reset();
    closed.endTime = std::max(end, closed.startTime);
    if (wasLockScreen) {
        return std::nullopt;
    }
    return closed;
}

bool ActiveWindowHandler::isGapSinceLastLook(TimePoint now) const {
    // A clock set back is a gap as well.
    return lastLook && (now < *lastLook || now - *lastLook > kLongestLookGap);
}

} // namespace ulvarend
