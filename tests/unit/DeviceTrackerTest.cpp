#include "Implementations/DeviceTracker.h"

#include "support/Mocks.h"

#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using namespace ::testing;
using namespace ulvarend::testing;

class DeviceTrackerTest : public Test {
protected:
    StrictShared<MockSendOrSaveHandler> sendOrSave;
    NiceShared<MockSettings> settings;
    StrictShared<MockUsageBuilder> builder;
    StrictShared<MockUserHandler> users;
    std::shared_ptr<platform::ScreenState> screens = std::make_shared<platform::ScreenState>();
    std::shared_ptr<DeviceTracker> tracker =
        std::make_shared<DeviceTracker>(sendOrSave, settings, builder, users, screens);

    std::shared_ptr<UserSessionChangesDelegate> subscriber;
    std::vector<std::string> records;

    void SetUp() override {
        ON_CALL(*settings, currentUser()).WillByDefault(Return("Anna"));
        ON_CALL(*builder, buildDeviceUsage(_, _))
            .WillByDefault([](EventType type, const std::string& user) {
                return std::make_shared<DeviceUsage>("p:" + user, "M", TimePoint{}, 2,
                                                     eventTypeValue(type));
            });
        EXPECT_CALL(*builder, buildDeviceUsage(_, _)).Times(AnyNumber());
        EXPECT_CALL(*sendOrSave, sendOrSave(_, false))
            .Times(AnyNumber())
            .WillRepeatedly([this](UsagePtr usage, bool) {
                auto& device = static_cast<DeviceUsage&>(*usage);
                records.push_back(device.participantIdentifier +
                                  (device.eventType == 1 ? " started" : " ended"));
            });
    }

    void startWithOneUser() {
        EXPECT_CALL(*users, addUserSessionChangesSubscriber(_)).WillOnce(SaveArg<0>(&subscriber));
        // With one user the user handling announces the session at once.
        EXPECT_CALL(*users, verifyCurrentUser()).WillOnce([this] {
            subscriber->userSessionStarted("Anna");
        });
        tracker->start();
        Mock::VerifyAndClearExpectations(users.get());
    }
};

TEST_F(DeviceTrackerTest, StartSubscribesAndTheFirstSessionFollowsTheConfirmation) {
    startWithOneUser();
    EXPECT_EQ(subscriber.get(), tracker.get());
    EXPECT_EQ(records, (std::vector<std::string>{"p:Anna started"}));
}

TEST_F(DeviceTrackerTest, SleepEndsTheCurrentUsersSessionAndWakeAsksWhoIsThere) {
    startWithOneUser();
    EXPECT_CALL(*users, verifyCurrentUser()).WillOnce([this] {
        subscriber->userSessionStarted("Anna");
    });
    screens->report("screensaver", true);
    screens->report("logind-lock", true); // the same transition, seen by a second source
    screens->report("screensaver", false);
    screens->report("logind-lock", false);
    EXPECT_EQ(records,
              (std::vector<std::string>{"p:Anna started", "p:Anna ended", "p:Anna started"}));
}

TEST_F(DeviceTrackerTest, EachStartedIsEndedOnceAndUserChangesComeThroughTheDelegate) {
    startWithOneUser();
    EXPECT_CALL(*users, verifyCurrentUser()).Times(1);
    screens->report("screensaver", true);
    // Woken, but the question who is there is still open: nothing started, nothing to end.
    screens->report("screensaver", false);
    screens->report("screensaver", true);
    subscriber->userSessionEnded("Anna");
    subscriber->userSessionStarted("Bo");
    subscriber->userSessionStarted("Bo");
    subscriber->userSessionEnded("Bo");
    subscriber->userSessionStarted("Anna");
    EXPECT_EQ(records, (std::vector<std::string>{"p:Anna started", "p:Anna ended", "p:Bo started",
                                                 "p:Bo ended", "p:Anna started"}));
}

TEST_F(DeviceTrackerTest, StartedWhileLockedTheFirstSessionBeginsAtTheWake) {
    screens->report("logind-locked-hint", true);
    EXPECT_CALL(*users, addUserSessionChangesSubscriber(_)).WillOnce(SaveArg<0>(&subscriber));
    EXPECT_CALL(*users, verifyCurrentUser()).WillOnce([this] {
        subscriber->userSessionStarted("Anna");
    });
    tracker->start();
    EXPECT_TRUE(records.empty());
    screens->report("logind-locked-hint", false);
    EXPECT_EQ(records, (std::vector<std::string>{"p:Anna started"}));
}

TEST_F(DeviceTrackerTest, ASecondStartRegistersNothingMore) {
    startWithOneUser();
    tracker->start();
    EXPECT_CALL(*users, verifyCurrentUser()).Times(0);
    screens->report("screensaver", true);
    EXPECT_EQ(records, (std::vector<std::string>{"p:Anna started", "p:Anna ended"}));
}

// Quitting, the end of the period and a link that changes who is recorded all end the session
// this way: one "ended" per "started", for the member it was started for.
TEST_F(DeviceTrackerTest, EndingTheSessionEndsOnlyAnOpenOneAndTheNextStartBeginsItAgain) {
    startWithOneUser();
    ON_CALL(*settings, currentUser()).WillByDefault(Return("Bo"));
    tracker->endSession();
    tracker->endSession();
    EXPECT_CALL(*users, verifyCurrentUser()).WillOnce([this] {
        subscriber->userSessionStarted("Bo");
    });
    tracker->start();
    tracker->start(); // a link that changed nothing: the open session goes on
    EXPECT_CALL(*users, verifyCurrentUser()).Times(0);
    screens->report("screensaver", true);
    tracker->endSession(); // quitting while asleep
    EXPECT_EQ(records, (std::vector<std::string>{"p:Anna started", "p:Anna ended", "p:Bo started",
                                                 "p:Bo ended"}));
}

} // namespace
} // namespace ulvarend
