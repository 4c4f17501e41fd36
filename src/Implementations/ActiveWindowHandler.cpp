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
        currentActiveWindow = ActiveWindow{std::move(identifier), now, std::nullopt};
        currentIsLockScreen = frontmost->isLockScreen;
        return closed;
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
    closed = endAt(interruptedAt.value_or(now));
    currentActiveWindow = ActiveWindow{std::move(identifier), now, std::nullopt};
    currentIsLockScreen = frontmost->isLockScreen;
    return closed;
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
