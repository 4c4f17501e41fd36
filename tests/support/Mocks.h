#pragma once

#include "interfaces/ActiveWindowHandlerProtocol.h"
#include "interfaces/AlertHandlerProtocol.h"
#include "interfaces/AppTrackerProtocol.h"
#include "interfaces/DateTimeHandlerProtocol.h"
#include "interfaces/DeviceTrackerProtocol.h"
#include "interfaces/LaunchAtLoginHandlerProtocol.h"
#include "interfaces/LoggerProtocol.h"
#include "interfaces/PersistenceHandlerProtocol.h"
#include "interfaces/RequestHandlerProtocol.h"
#include "interfaces/SendOrSaveHandlerProtocol.h"
#include "interfaces/SettingsProtocol.h"
#include "interfaces/UsageBuilderProtocol.h"
#include "interfaces/UserHandlerProtocol.h"
#include "platform/FrontmostApplicationSource.h"
#include "platform/HttpClient.h"
#include "platform/Process.h"
#include "platform/Reachability.h"
#include "platform/ScreenNotifications.h"
#include "platform/Threads.h"

#include <deque>
#include <functional>
#include <gmock/gmock.h>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ulvarend::testing {

// A fake made at once, for a fixture's member: `StrictShared<MockLogger> logger;` is a shared
// StrictMock, handed to the service under test as the protocol it fakes.
template <class Fake> class StrictShared : public std::shared_ptr<::testing::StrictMock<Fake>> {
public:
    StrictShared()
        : std::shared_ptr<::testing::StrictMock<Fake>>(
              std::make_shared<::testing::StrictMock<Fake>>()) {}
};
template <class Fake> class NiceShared : public std::shared_ptr<::testing::NiceMock<Fake>> {
public:
    NiceShared()
        : std::shared_ptr<::testing::NiceMock<Fake>>(
              std::make_shared<::testing::NiceMock<Fake>>()) {}
};

// A clock that stands still until a test moves it.
class FakeClock : public DateTimeHandlerProtocol {
public:
    explicit FakeClock(TimePoint start = TimePoint{std::chrono::seconds{1'600'000'000}})
        : current(start) {}
    TimePoint now() override {
        std::lock_guard lock(mutex);
        ++reads;
        const auto answer = current;
        current += step;
        return answer;
    }
    // Makes every read move the clock on by `by`, as a real clock does between two reads.
    void setStep(std::chrono::system_clock::duration by) {
        std::lock_guard lock(mutex);
        step = by;
    }
    void set(TimePoint time) {
        std::lock_guard lock(mutex);
        current = time;
    }
    void advance(std::chrono::system_clock::duration by) {
        std::lock_guard lock(mutex);
        current += by;
    }
    int readCount() {
        std::lock_guard lock(mutex);
        return reads;
    }

private:
    std::mutex mutex;
    TimePoint current;
    std::chrono::system_clock::duration step{};
    int reads = 0;
};

class MockSettings : public SettingsProtocol {
public:
    MOCK_METHOD(bool, appHasBeenSetup, (), (override));
    MOCK_METHOD(void, setAppHasBeenSetup, (bool), (override));
    MOCK_METHOD(void, addAppHasBeenSetupChangedSubscriber,
                (std::shared_ptr<AppHasBeenSetupDelegate>), (override));
    MOCK_METHOD(std::vector<std::string>, userList, (), (override));
    MOCK_METHOD(void, setUserList, (const std::vector<std::string>&), (override));
    MOCK_METHOD(std::int64_t, userCount, (), (override));
    MOCK_METHOD(std::string, currentUser, (), (override));
    MOCK_METHOD(void, setCurrentUser, (const std::string&), (override));
    MOCK_METHOD(std::string, deviceModelName, (), (override));
    MOCK_METHOD(TrackingType, trackingType, (), (override));
    MOCK_METHOD(void, setTrackingType, (TrackingType), (override));
    MOCK_METHOD(TimePoint, stopTrackingDate, (), (override));
    MOCK_METHOD(void, setStopTrackingDate, (TimePoint), (override));
    MOCK_METHOD(void, setUserId, (const std::string&), (override));
    MOCK_METHOD(std::string, participantIdentifier, (), (override));
    MOCK_METHOD(std::string, participantIdentifier, (const std::string&), (override));
    MOCK_METHOD(Credentials, credentials, (), (override));
    MOCK_METHOD(bool, saveTogether, (const std::function<bool()>&), (override));
};

class MockLogger : public LoggerProtocol {
public:
    MOCK_METHOD(void, logUsage, (const Usage&, UsageLogType), (override));
    MOCK_METHOD(void, logInfo, (const std::string&), (override));
    MOCK_METHOD(void, logError, (const std::string&), (override));
    MOCK_METHOD(void, flush, (), (override));
};

class MockAlertHandler : public AlertHandlerProtocol {
public:
    MOCK_METHOD(bool, showCurrentUserAlert, (const std::string&), (override));
    MOCK_METHOD(void, showTrackingPeriodEndedAlert, (), (override));
    MOCK_METHOD(void, showSetupMissingAlert, (), (override));
    MOCK_METHOD(void, showAgentUnreachableAlert, (), (override));
};

class MockAppTracker : public AppTrackerProtocol {
public:
    MOCK_METHOD(void, start, (), (override));
    MOCK_METHOD(void, startDeliveryOnly, (), (override));
    MOCK_METHOD(void, closeOpenSession, (AfterClosing), (override));
    MOCK_METHOD(void, stop, (), (override));
};

class MockDeviceTracker : public DeviceTrackerProtocol {
public:
    MOCK_METHOD(void, start, (), (override));
    MOCK_METHOD(void, endSession, (), (override));
};

class MockLaunchAtLoginHandler : public LaunchAtLoginHandlerProtocol {
public:
    MockLaunchAtLoginHandler() {
        ON_CALL(*this, setIsEnabled(::testing::_)).WillByDefault(::testing::Return(true));
    }
    MOCK_METHOD(bool, setIsEnabled, (bool), (override));
};

class MockUserHandler : public UserHandlerProtocol {
public:
    MOCK_METHOD(void, verifyCurrentUser, (), (override));
    MOCK_METHOD(void, showUserWindow, (bool), (override));
    MOCK_METHOD(void, addUserSessionChangesSubscriber,
                (std::shared_ptr<UserSessionChangesDelegate>), (override));
};

class MockUsageBuilder : public UsageBuilderProtocol {
public:
    MOCK_METHOD(std::shared_ptr<DeviceUsage>, buildDeviceUsage, (EventType), (override));
    MOCK_METHOD(std::shared_ptr<DeviceUsage>, buildDeviceUsage, (EventType, const std::string&),
                (override));
    MOCK_METHOD(std::shared_ptr<AppUsage>, buildAppUsage, (const ActiveWindow&), (override));
};

class MockSendOrSaveHandler : public SendOrSaveHandlerProtocol {
public:
    MOCK_METHOD(void, sendOrSave, (UsagePtr, bool), (override));
    MOCK_METHOD(void, sendSomeSavedUsages, (std::int64_t), (override));
    MOCK_METHOD(void, saveUnfinishedUsages, (), (override));
};

class MockProcess : public platform::Process {
public:
    MOCK_METHOD(void, exit, (int), (override));
};

class MockPersistenceHandler : public PersistenceHandlerProtocol {
public:
    MOCK_METHOD(bool, save, (const Usage&), (override));
    MOCK_METHOD(void, deleteUsage, (const Usage&), (override));
    MOCK_METHOD(std::vector<std::shared_ptr<DeviceUsage>>, fetchDeviceUsages, (std::int64_t),
                (override));
    MOCK_METHOD(std::vector<std::shared_ptr<AppUsage>>, fetchAllAppUsages, (std::int64_t),
                (override));
    MOCK_METHOD(std::vector<UsagePtr>, takeUnstoredUsages, (), (override));
};

class MockRequestHandler : public RequestHandlerProtocol {
public:
    MOCK_METHOD(void, send,
                (UsagePtr, UsageType, const Credentials&, SuccessCallback, FailureCallback),
                (override));
};

class MockHttpClient : public platform::HttpClient {
public:
    MOCK_METHOD(void, start, (platform::HttpRequest, platform::HttpCompletion), (override));
    MOCK_METHOD(void, shutdown, (), (override));
};

class MockActiveWindowHandler : public ActiveWindowHandlerProtocol {
public:
    MOCK_METHOD(std::optional<ActiveWindow>, updateActiveWindow, (), (override));
    MOCK_METHOD(std::optional<ActiveWindow>, closeActiveWindow, (), (override));
};

// Fakes of platform facilities, for services whose logic a test plays through step by step.
// All of them run on the test's thread and are not safe to share between threads.

// The application the desktop has in front, as the test last set it.
class FakeFrontmostSource : public platform::FrontmostApplicationSource {
public:
    std::optional<platform::FrontmostApplication> answer;
    std::optional<platform::FrontmostApplication> frontmostApplication() override { return answer; }
};

// A network the test connects and disconnects. The notifier reports the state it finds when it
// starts, then every `set`, on the caller's thread; `startError` makes it refuse to start.
class FakeReachability : public platform::Reachability {
public:
    std::function<void()> reachable, unreachable;
    platform::Connection state = platform::Connection::connected;
    std::optional<std::string> startError;
    int notifierStarts = 0;

    void setWhenReachable(std::function<void()> c) override { reachable = std::move(c); }
    void setWhenUnreachable(std::function<void()> c) override { unreachable = std::move(c); }
    bool startNotifier(std::string* whyNot) override {
        ++notifierStarts;
        if (startError) {
            *whyNot = *startError;
            return false;
        }
        report();
        return true;
    }
    platform::Connection connection() override { return state; }
    void set(platform::Connection c) {
        state = c;
        report();
    }

private:
    void report() {
        const auto& callback = state == platform::Connection::connected ? reachable : unreachable;
        if (callback) {
            callback();
        }
    }
};

// Tasks wait until the test runs them, one after the other on the test's thread; a task queued
// while they run is run too. Each task is released once it has run.
class ManualQueue : public platform::BackgroundQueue {
public:
    std::deque<std::function<void()>> tasks;
    void async(std::function<void()> task) override { tasks.push_back(std::move(task)); }
    void waitUntilIdle() override {}
    void runAll() {
        while (!tasks.empty()) {
            auto task = std::move(tasks.front());
            tasks.pop_front();
            task();
        }
    }
};

// A sleep returns at once, after `onSleep` has let the test's script act (move a clock, change
// the world between two polls).
class ScriptedSleeper : public platform::Sleeper {
public:
    std::function<void(std::chrono::milliseconds)> onSleep;
    void sleep(std::chrono::milliseconds duration) override {
        if (onSleep) {
            onSleep(duration);
        }
    }
};

// Screens that go to sleep whenever the test says so, repeats included; they never wake.
class FakeScreens : public platform::ScreenNotifications {
public:
    std::vector<std::function<void()>> sleepObservers;
    void addScreensDidSleepObserver(std::function<void()> observer) override {
        sleepObservers.push_back(std::move(observer));
    }
    void addScreensDidWakeObserver(std::function<void()>) override {}
    bool screensAsleep() const override { return false; }
    void sleep() {
        for (const auto& observer : sleepObservers) {
            observer();
        }
    }
};

} // namespace ulvarend::testing
