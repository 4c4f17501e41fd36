// A day at the computer played through the real trackers on a clock the test moves: what the
// application records count, and what the device records leave out, must add up to the time
// that went by.

#include "Implementations/ActiveWindowHandler.h"
#include "Implementations/AppTracker.h"
#include "Implementations/DeviceTracker.h"
#include "Implementations/UsageBuilder.h"
#include "platform/ScreenNotifications.h"
#include "support/Mocks.h"

#include <functional>
#include <gtest/gtest.h>
#include <map>

namespace ulvarend {
namespace {

using namespace std::chrono;
using namespace ::testing;
using namespace ulvarend::testing;
using platform::FrontmostApplication;

class AlwaysOnline : public platform::Reachability {
public:
    std::function<void()> reachable;
    void setWhenReachable(std::function<void()> c) override { reachable = std::move(c); }
    void setWhenUnreachable(std::function<void()>) override {}
    bool startNotifier(std::string*) override {
        reachable();
        return true;
    }
    platform::Connection connection() override { return platform::Connection::connected; }
};

class LaterQueue : public platform::BackgroundQueue {
public:
    std::vector<std::function<void()>> tasks;
    void async(std::function<void()> task) override { tasks.push_back(std::move(task)); }
    void waitUntilIdle() override {}
};

// Each pause moves the clock on by a second, then lets the day's script act.
class ScriptedPause : public platform::Sleeper {
public:
    ScriptedPause(std::shared_ptr<FakeClock> clock) : clock(std::move(clock)) {}
    std::function<void()> afterEachSecond;
    void sleep(milliseconds duration) override {
        clock->advance(duration);
        afterEachSecond();
    }
    std::shared_ptr<FakeClock> clock;
};

class ScriptedFront : public platform::FrontmostApplicationSource {
public:
    std::optional<FrontmostApplication> answer;
    std::optional<FrontmostApplication> frontmostApplication() override { return answer; }
};

// Keeps the sessions next to the records built of them.
class KeepingBuilder : public UsageBuilderProtocol {
public:
    explicit KeepingBuilder(std::shared_ptr<UsageBuilderProtocol> builder)
        : builder(std::move(builder)) {}
    std::shared_ptr<DeviceUsage> buildDeviceUsage(EventType type) override {
        return builder->buildDeviceUsage(type);
    }
    std::shared_ptr<DeviceUsage> buildDeviceUsage(EventType type,
                                                  const std::string& user) override {
        return builder->buildDeviceUsage(type, user);
    }
    std::shared_ptr<AppUsage> buildAppUsage(const ActiveWindow& window) override {
        sessions.push_back(window);
        return builder->buildAppUsage(window);
    }
    std::shared_ptr<UsageBuilderProtocol> builder;
    std::vector<ActiveWindow> sessions;
};

class Collected : public SendOrSaveHandlerProtocol {
public:
    std::vector<UsagePtr> usages;
    void sendOrSave(UsagePtr usage, bool) override { usages.push_back(std::move(usage)); }
    void sendSomeSavedUsages(std::int64_t) override {}
    void saveUnfinishedUsages() override {}
};

class OneMember : public UserHandlerProtocol {
public:
    std::shared_ptr<UserSessionChangesDelegate> tracker;
    void verifyCurrentUser() override { tracker->userSessionStarted("Anna"); }
    void showUserWindow(bool) override {}
    void addUserSessionChangesSubscriber(std::shared_ptr<UserSessionChangesDelegate> s) override {
        tracker = std::move(s);
    }
};

TEST(DurationsAddUp, OverSwitchesLocksSleepSuspendAnEmptyDesktopAndQuitting) {
    const TimePoint begin{seconds{1'700'000'000}};
    auto clock = std::make_shared<FakeClock>(begin);
    auto screens = std::make_shared<platform::ScreenState>();
    auto front = std::make_shared<ScriptedFront>();
    auto settings = std::make_shared<NiceMock<MockSettings>>();
    ON_CALL(*settings, currentUser()).WillByDefault(Return("Anna"));
    auto builder =
        std::make_shared<KeepingBuilder>(std::make_shared<UsageBuilder>(clock, settings));
    auto collected = std::make_shared<Collected>();
    auto queue = std::make_shared<LaterQueue>();
    auto pause = std::make_shared<ScriptedPause>(clock);
    auto appTracker = std::make_shared<AppTracker>(
        std::make_shared<ActiveWindowHandler>(
            clock, platform::showLockScreenWhileAsleep(
                       front, [screens] { return screens->screensAsleep(); })),
        std::make_shared<NiceMock<MockLogger>>(), collected,
        std::make_shared<NiceMock<MockPersistenceHandler>>(), builder,
        std::make_shared<AlwaysOnline>(), queue, pause, screens);
    auto users = std::make_shared<OneMember>();
    auto deviceTracker =
        std::make_shared<DeviceTracker>(clock, collected, settings, builder, users, screens);

    auto show = [&](std::optional<std::string> app) {
        front->answer = app ? std::optional(FrontmostApplication{*app}) : std::nullopt;
    };
    // What happens at each second of the day, counted from the start, the hour asleep too.
    const std::map<int, std::function<void()>> day = {
        {10, [&] { show("org.example.Browser"); }},
        {20, [&] { screens->reportLockRequest(true); }},
        {30, [&] { screens->clearLockRequest(); }}, // unlocked by a password
        {40, [&] { screens->report("org.freedesktop.ScreenSaver", true); }},
        {50, [&] { screens->report("org.freedesktop.ScreenSaver", false); }},
        {60,
         [&] {
             // The machine freezes before the next poll and resumes an hour later.
             screens->report("logind-sleep", true);
             clock->advance(hours{1});
         }},
        {3662, [&] { screens->report("logind-sleep", false); }},
        {3680, [&] { show(std::nullopt); }}, // the last window closed
        {3700, [&] { show("org.example.Editor"); }},
        {3710,
         [&] {
             appTracker->closeOpenSession(AppTrackerProtocol::AfterClosing::stopTracking);
             collected->sendOrSave(builder->buildDeviceUsage(EventType::ended), false);
             appTracker->stop();
         }},
    };
    pause->afterEachSecond = [&] {
        const auto second = duration_cast<seconds>(clock->now() - begin).count();
        if (const auto found = day.find(static_cast<int>(second)); found != day.end()) {
            found->second();
        }
    };

    show("org.example.Editor");
    appTracker->start();
    deviceTracker->start();
    for (std::size_t i = 0; i < queue->tasks.size(); ++i) {
        queue->tasks[i]();
    }
    // The loops and the subscription hold what holds them.
    queue->tasks.clear();
    users->tracker.reset();
    const TimePoint end = begin + seconds{3710};

    // The stretches the device records say nobody was at the computer.
    std::vector<std::pair<TimePoint, TimePoint>> away;
    std::optional<TimePoint> endedAt;
    milliseconds counted{0};
    for (const auto& usage : collected->usages) {
        if (const auto* device = dynamic_cast<const DeviceUsage*>(usage.get())) {
            if (device->eventType == 0) {
                endedAt = device->timeStamp;
            } else if (endedAt) {
                away.emplace_back(*endedAt, device->timeStamp);
                endedAt.reset();
            }
        } else {
            counted += milliseconds{static_cast<const AppUsage&>(*usage).duration};
        }
    }
    ASSERT_TRUE(endedAt) << "the quit ends the device session";
    EXPECT_EQ(*endedAt, end);
    ASSERT_EQ(away.size(), 3u); // the lock, the screen saver, the suspend
    milliseconds awayTime{0};
    for (const auto& [from, to] : away) {
        awayTime += duration_cast<milliseconds>(to - from);
    }
    const milliseconds emptyDesktop{seconds{20}};
    const auto wall = duration_cast<milliseconds>(end - begin);
    EXPECT_LE(abs((counted + awayTime + emptyDesktop - wall).count()), 1000)
        << "counted " << counted.count() << " ms, away " << awayTime.count() << " ms";

    ASSERT_FALSE(builder->sessions.empty());
    for (const auto& session : builder->sessions) {
        for (const auto& [from, to] : away) {
            EXPECT_TRUE(*session.endTime <= from || session.startTime >= to)
                << session.bundleIdentifier << " overlaps a time away";
        }
    }
}

} // namespace
} // namespace ulvarend
