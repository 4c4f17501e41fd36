#include "platform/ScreenNotifications.h"

namespace ulvarend::platform {

void ScreenState::addScreensDidSleepObserver(std::function<void()> observer) {
    std::lock_guard lock(mutex);
    sleepObservers.push_back(std::move(observer));
}

void ScreenState::addScreensDidWakeObserver(std::function<void()> observer) {
    std::lock_guard lock(mutex);
    wakeObservers.push_back(std::move(observer));
}

namespace {
// Never the name of a source: those name what they listen to.
constexpr const char* kLockRequest = "(lock request)";
} // namespace

void ScreenState::report(const std::string& source, bool sourceAsleep) {
    update(source, sourceAsleep);
}

void ScreenState::reportLockRequest(bool locked) {
    update(kLockRequest, locked);
}

void ScreenState::drop(const std::string& source) {
    update(source, std::nullopt);
}

void ScreenState::update(const std::string& source, std::optional<bool> sourceAsleep) {
    std::vector<std::function<void()>> toCall;
    {
        std::lock_guard lock(mutex);
        if (sourceAsleep) {
            sources[source] = *sourceAsleep;
        } else {
            sources.erase(source);
        }
        bool combined = false;
        for (const auto& [name, value] : sources) {
            combined = combined || value;
        }
        if (combined == asleep.load()) {
            return;
        }
        asleep = combined;
        toCall = combined ? sleepObservers : wakeObservers;
    }
    // Called outside the lock: an observer may show an alert and run a nested event loop in
    // which further reports arrive.
    for (const auto& observer : toCall) {
        observer();
    }
}

} // namespace ulvarend::platform
