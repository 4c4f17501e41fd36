#include "Implementations/Runner.h"

#include "support/Mocks.h"

#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using namespace std::chrono;
using namespace ::testing;
using namespace ulvarend::testing;

class RunnerTest : public Test {
protected:
    StrictShared<MockAppTracker> appTracker;
    StrictShared<MockDeviceTracker> deviceTracker;
    StrictShared<MockAlertHandler> alerts;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    StrictShared<MockLaunchAtLoginHandler> login;
    StrictShared<MockLogger> logger;
    NiceShared<MockSettings> settings;
    StrictShared<MockProcess> process;

    Runner runner{appTracker, deviceTracker, alerts, clock, login, logger, settings, process};

    void setUp(bool setup, std::optional<system_clock::duration> stopOffset, TrackingType type) {
        ON_CALL(*settings, appHasBeenSetup()).WillByDefault(Return(setup));
        ON_CALL(*settings, trackingType()).WillByDefault(Return(type));
        // Without a stored date the settings answer the clock's time at the moment of reading.
        ON_CALL(*settings, stopTrackingDate()).WillByDefault([this, stopOffset] {
            const auto now = clock->now();
            return stopOffset ? now + *stopOffset : now;
        });
    }
};

TEST_F(RunnerTest, NotSetUpLogsBeforeTheAlertAndStartsNothing) {
    setUp(false, std::nullopt, TrackingType::AppAndDevice);
    InSequence order;
    EXPECT_CALL(*logger, logInfo("App has not been setup."));
    EXPECT_CALL(*alerts, showSetupMissingAlert());
    runner.run();
    EXPECT_EQ(clock->readCount(), 0);
}

// At launch and in a running agent alike (a wake, the hourly look), the sessions open until
// then are closed before the alert, as a quit closes them.
TEST_F(RunnerTest, PeriodOverClosesTheSessionsShowsTheAlertLogsSwitchesLoginOffAndExitsZero) {
    for (const auto& look : {&Runner::run, &Runner::checkTrackingPeriod}) {
        setUp(true, -seconds{1}, TrackingType::AppAndDevice);
        InSequence order;
        EXPECT_CALL(*appTracker, closeOpenSession(AppTrackerProtocol::AfterClosing::stopTracking));
        EXPECT_CALL(*deviceTracker, endSession());
        EXPECT_CALL(*alerts, showTrackingPeriodEndedAlert());
        EXPECT_CALL(*logger, logInfo("Tracking date has been reached. Disabling Launch at Login "
                                     "and terminating app."));
        EXPECT_CALL(*login, setIsEnabled(false));
        EXPECT_CALL(*process, exit(0));
        (runner.*look)();
        Mock::VerifyAndClearExpectations(appTracker.get());
        Mock::VerifyAndClearExpectations(process.get());
    }
}

TEST_F(RunnerTest, LookingAtThePeriodWhileItGoesOnOrBeforeSetupChangesNothing) {
    setUp(true, seconds{0}, TrackingType::AppAndDevice);
    runner.checkTrackingPeriod();
    setUp(false, -seconds{1}, TrackingType::AppAndDevice);
    runner.checkTrackingPeriod();
}

TEST_F(RunnerTest, ATrackingPeriodThatIsNotOverStartsTheTrackersForItsType) {
    struct Case {
        std::optional<system_clock::duration> stopOffset;
        TrackingType type;
        bool appTrackerStarts;
    };
    const Case cases[] = {
        {seconds{1}, TrackingType::AppAndDevice, true},
        {seconds{0}, TrackingType::AppAndDevice, true}, // equal to now: not earlier
        {std::nullopt, TrackingType::AppAndDevice, true},
        {hours{24 * 30}, TrackingType::Device, false},
    };
    for (const auto& c : cases) {
        setUp(true, c.stopOffset, c.type);
        InSequence order;
        if (c.appTrackerStarts) {
            EXPECT_CALL(*appTracker, start());
        } else {
            EXPECT_CALL(*appTracker, startDeliveryOnly());
        }
        EXPECT_CALL(*deviceTracker, start());
        runner.run();
        Mock::VerifyAndClearExpectations(appTracker.get());
        Mock::VerifyAndClearExpectations(deviceTracker.get());
    }
}

TEST_F(RunnerTest, TheClockIsReadBeforeTheStopDate) {
    // With a clock that moves on between reads, a fallback stop date read before `now` would
    // already lie in the past.
    setUp(true, std::nullopt, TrackingType::Device);
    clock->setStep(milliseconds{1});
    EXPECT_CALL(*appTracker, startDeliveryOnly());
    EXPECT_CALL(*deviceTracker, start());
    runner.run();
}

// The device tracker knows whether a member's session is open: it sends the one "ended".
TEST_F(RunnerTest, QuittingWhileSetUpClosesTheApplicationSessionThenTheMembersSession) {
    setUp(true, seconds{10}, TrackingType::Device);
    InSequence order;
    EXPECT_CALL(*appTracker, closeOpenSession(AppTrackerProtocol::AfterClosing::stopTracking));
    EXPECT_CALL(*deviceTracker, endSession());
    runner.handleTermination();
}

TEST_F(RunnerTest, BeforeALinkChangesWhoIsRecordedBothSessionsCloseAndTrackingGoesOn) {
    InSequence order;
    EXPECT_CALL(*appTracker, closeOpenSession(AppTrackerProtocol::AfterClosing::keepTracking));
    EXPECT_CALL(*deviceTracker, endSession());
    runner.closeSessions();
}

TEST_F(RunnerTest, QuittingBeforeSetupRecordsNothing) {
    setUp(false, std::nullopt, TrackingType::Device);
    runner.handleTermination();
}

} // namespace
} // namespace ulvarend
