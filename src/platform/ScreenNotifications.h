#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ulvarend::platform {

// The screens going to sleep and waking up. Observers are called on the thread that posts,
// which is the main thread, and stay registered for the life of the process.
class ScreenNotifications {
public:
    virtual ~ScreenNotifications() = default;
    virtual void addScreensDidSleepObserver(std::function<void()> observer) = 0;
    virtual void addScreensDidWakeObserver(std::function<void()> observer) = 0;
    // Whether the screens are asleep now. Safe from any thread.
    virtual bool screensAsleep() const = 0;
};

// Several sources can tell that the screens are off: the screen savers on the session bus,
// logind's lock and suspend, the X screen saver. They often report the same moment together;
// observers hear only when the combined state changes, once per transition.
class ScreenState final : public ScreenNotifications {
public:
    void addScreensDidSleepObserver(std::function<void()> observer) override;
    void addScreensDidWakeObserver(std::function<void()> observer) override;

    // One source's view, e.g. report("logind-locked-hint", true). Called on the main thread.
    void report(const std::string& source, bool asleep);
    // A request to lock or unlock the session. Lockers that are unlocked by a password never
    // answer a lock with an unlock, so a lock holds only until an unlock, or until a source
    // that sees the lock screen itself says it is gone (`clearLockRequest`).
    void reportLockRequest(bool locked);
    void clearLockRequest() { reportLockRequest(false); }
    // The source can no longer report: what it said last no longer counts.
    void drop(const std::string& source);

    // Safe from any thread: the polling thread asks it for the lock screen.
    bool screensAsleep() const override { return asleep.load(); }

private:
    std::mutex mutex;
    std::map<std::string, bool> sources;
    std::vector<std::function<void()>> sleepObservers;
    std::vector<std::function<void()>> wakeObservers;
    std::atomic<bool> asleep{false};

    void update(const std::string& source, std::optional<bool> sourceAsleep);
};

} // namespace ulvarend::platform
