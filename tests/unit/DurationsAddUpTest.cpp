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
#include <vector>

namespace ulvarend {
namespace {

using namespace std::chrono;
using namespace ::testing;
using namespace ulvarend::testing;
using platform::FrontmostApplication;

TEST(DurationsAddUp, OverSwitchesLocksSleepSuspendAnEmptyDesktopAndQuitting) {
    const TimePoint begin{seconds{1'700'000'000}};
    auto clock = std::make_shared<FakeClock>(begin);
    auto screens = std::make_shared<platform::ScreenState>();
    auto front = std::make_shared<FakeFrontmostSource>();
    auto settings = std::make_shared<NiceMock<MockSettings>>();
    ON_CALL(*settings, currentUser()).WillByDefault(Return("Anna"));
    // Records are built by the real builder; the sessions are kept next to them.
    auto realBuilder = std::make_shared<UsageBuilder>(clock, settings);
    std::vector<ActiveWindow> sessions;
    auto builder = std::make_shared<NiceMock<MockUsageBuilder>>();
    ON_CALL(*builder, buildDeviceUsage(_)).WillByDefault([realBuilder](EventType type) {
        return realBuilder->buildDeviceUsage(type);
    });
    ON_CALL(*builder, buildDeviceUsage(_, _))
        .WillByDefault([realBuilder](EventType type, const std::string& user) {
            return realBuilder->buildDeviceUsage(type, user);
        });
    ON_CALL(*builder, buildAppUsage(_)).WillByDefault([&](const ActiveWindow& window) {
        sessions.push_back(window);
        return realBuilder->buildAppUsage(window);
    });
    std::vector<UsagePtr> collected;
    auto sender = std::make_shared<NiceMock<MockSendOrSaveHandler>>();
    ON_CALL(*sender, sendOrSave(_, _)).WillByDefault([&](UsagePtr usage, bool) {
        collected.push_back(std::move(usage));
    });
    auto queue = std::make_shared<ManualQueue>();
    // Each pause moves the clock on by its length, then lets the day's script act.
    std::function<void()> afterEachSecond;
    auto pause = std::make_shared<ScriptedSleeper>();
    pause->onSleep = [&](milliseconds duration) {
        clock->advance(duration);
        afterEachSecond();
    };
    auto appTracker = std::make_shared<AppTracker>(
        std::make_shared<ActiveWindowHandler>(
            clock, platform::showLockScreenWhileAsleep(
                       front, [screens] { return screens->screensAsleep(); })),
        std::make_shared<NiceMock<MockLogger>>(), sender,
        std::make_shared<NiceMock<MockPersistenceHandler>>(), builder,
        std::make_shared<FakeReachability>(), queue, pause, screens);
    // One household member, who answers at once.
    std::shared_ptr<UserSessionChangesDelegate> subscriber;
    auto users = std::make_shared<NiceMock<MockUserHandler>>();
    ON_CALL(*users, addUserSessionChangesSubscriber(_))
        .WillByDefault([&](std::shared_ptr<UserSessionChangesDelegate> s) { subscriber = s; });
    ON_CALL(*users, verifyCurrentUser()).WillByDefault([&] {
        subscriber->userSessionStarted("Anna");
    });
    auto deviceTracker = std::make_shared<DeviceTracker>(sender, settings, builder, users, screens);

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
             sender->sendOrSave(builder->buildDeviceUsage(EventType::ended),
                                /*fromPersistence=*/false);
             appTracker->stop();
         }},
    };
    afterEachSecond = [&] {
        const auto second = duration_cast<seconds>(clock->now() - begin).count();
        if (const auto found = day.find(static_cast<int>(second)); found != day.end()) {
            found->second();
        }
    };

    show("org.example.Editor");
    appTracker->start();
    deviceTracker->start();
    queue->runAll();
    // The subscription holds what holds it.
    subscriber.reset();
    const TimePoint end = begin + seconds{3710};

    // The stretches the device records say nobody was at the computer.
    std::vector<std::pair<TimePoint, TimePoint>> away;
    std::optional<TimePoint> endedAt;
    milliseconds counted{0};
    for (const auto& usage : collected) {
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

    ASSERT_FALSE(sessions.empty());
    for (const auto& session : sessions) {
        for (const auto& [from, to] : away) {
            EXPECT_TRUE(*session.endTime <= from || session.startTime >= to)
                << session.bundleIdentifier << " overlaps a time away";
        }
    }
}

} // namespace
} // namespace ulvarend
