#include "Implementations/AppTracker.h"

#include "support/Mocks.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace ulvarend {
namespace {

using namespace std::chrono;
using namespace ::testing;
using namespace ulvarend::testing;
using platform::Connection;

// Everything the tracker does, in order, as readable lines.
struct Journal {
    std::vector<std::string> lines;
    int polls = 0;
    void add(std::string line) { lines.push_back(std::move(line)); }
    std::vector<std::string> matching(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& l : lines) {
            if (l.rfind(prefix, 0) == 0) {
                out.push_back(l);
            }
        }
        return out;
    }
};

// The tracker's collaborators write what they are asked into the journal; the network changes
// and the tracker stops where the test's script says, between two polls.
class AppTrackerTest : public ::testing::Test {
protected:
    Journal journal;
    std::function<void(int poll)> afterPoll;
    // A session closes on every poll for which this holds.
    std::function<bool(int poll)> closesOn = [](int) { return false; };
    bool saveSucceeds = true;

    std::shared_ptr<FakeReachability> reachability = std::make_shared<FakeReachability>();
    std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>();
    std::shared_ptr<ScriptedSleeper> sleeper = std::make_shared<ScriptedSleeper>();
    std::shared_ptr<FakeScreens> screens = std::make_shared<FakeScreens>();
    NiceShared<MockActiveWindowHandler> windows;
    NiceShared<MockLogger> logger;
    NiceShared<MockSendOrSaveHandler> sender;
    NiceShared<MockPersistenceHandler> store;
    NiceShared<MockUsageBuilder> builder;
    std::shared_ptr<AppTracker> tracker = std::make_shared<AppTracker>(
        windows, logger, sender, store, builder, reachability, queue, sleeper, screens);

    void SetUp() override {
        sleeper->onSleep = [this](milliseconds duration) {
            EXPECT_EQ(duration, seconds{1});
            ++journal.polls;
            if (afterPoll) {
                afterPoll(journal.polls);
            }
        };
        ON_CALL(*windows, updateActiveWindow()).WillByDefault([this] {
            const int poll = journal.polls + 1;
            return closesOn(poll) ? std::optional(ActiveWindow{"app" + std::to_string(poll),
                                                               TimePoint{}, TimePoint{seconds{1}}})
                                  : std::nullopt;
        });
        ON_CALL(*windows, closeActiveWindow()).WillByDefault([this] {
            journal.add("close at poll " + std::to_string(journal.polls));
            return std::optional(
                ActiveWindow{"open" + std::to_string(journal.polls), TimePoint{}, TimePoint{}});
        });
        ON_CALL(*builder, buildAppUsage(_)).WillByDefault([](const ActiveWindow& window) {
            return std::make_shared<AppUsage>("p:A", "M", TimePoint{}, 1, window.bundleIdentifier,
                                              1000);
        });
        ON_CALL(*sender, sendOrSave(_, _)).WillByDefault([this](UsagePtr usage, bool stored) {
            journal.add("send " + package(*usage) + (stored ? " stored" : " fresh"));
        });
        ON_CALL(*sender, sendSomeSavedUsages(_)).WillByDefault([this](std::int64_t limit) {
            journal.add("batch " + std::to_string(limit) + " at poll " +
                        std::to_string(journal.polls + 1));
        });
        ON_CALL(*store, save(_)).WillByDefault([this](const Usage& usage) {
            journal.add("save " + package(usage));
            return saveSucceeds;
        });
        ON_CALL(*logger, logUsage(_, _))
            .WillByDefault([this](const Usage& usage, UsageLogType type) {
                journal.add(
                    std::string(type == UsageLogType::saved ? "logged saved " : "logged other ") +
                    package(usage));
            });
        ON_CALL(*logger, logInfo(_)).WillByDefault([this](const std::string& m) {
            journal.add("info " + m);
        });
        ON_CALL(*logger, logError(_)).WillByDefault([this](const std::string& m) {
            journal.add("error " + m);
        });
    }

    static std::string package(const Usage& usage) {
        return static_cast<const AppUsage&>(usage).package;
    }

    // Network changes at the given polls; tracking stops at `lastPoll`.
    void script(std::vector<std::pair<int, Connection>> changes, int lastPoll) {
        afterPoll = [this, changes, lastPoll](int poll) {
            for (const auto& [at, state] : changes) {
                if (at == poll) {
                    reachability->set(state);
                }
            }
            if (poll == lastPoll) {
                tracker->stop();
            }
        };
    }
};

TEST_F(AppTrackerTest, BatchesAreRequestedEveryTimeSixtyOnlinePollsHaveGone) {
    script({}, 130);
    tracker->start();
    queue->runAll();
    EXPECT_EQ(journal.polls, 130);
    EXPECT_EQ(journal.matching("batch"),
              (std::vector<std::string>{"batch 10 at poll 60", "batch 10 at poll 120"}));
}

TEST_F(AppTrackerTest, OnlineTimeCountsTowardsTheBatchAcrossAnOfflinePeriod) {
    closesOn = [](int poll) { return poll == 41 || poll == 45; };
    script({{40, Connection::unavailable}, {50, Connection::connected}}, 75);
    tracker->start();
    queue->runAll();

    // Polls 1-40 online, 41-50 offline, from 51 online: the 20th online poll there is poll 70.
    EXPECT_EQ(journal.matching("batch"), (std::vector<std::string>{"batch 10 at poll 70"}));
    // The online loop finishes its poll before it notices, then the offline loop takes over
    // and stores what closes, logging each record as saved; nothing goes out directly.
    EXPECT_EQ(journal.matching("info"),
              (std::vector<std::string>{"info Lost internet connection.",
                                        "info Regained internet connection."}));
    EXPECT_EQ(journal.matching("save"), (std::vector<std::string>{"save app41", "save app45"}));
    EXPECT_EQ(journal.matching("logged"),
              (std::vector<std::string>{"logged saved app41", "logged saved app45"}));
    EXPECT_TRUE(journal.matching("send").empty());
}

TEST_F(AppTrackerTest, OnlineSessionsAreSentFreshAndAFailedSaveIsNotLoggedAsSaved) {
    closesOn = [](int poll) { return poll == 3 || poll == 7; };
    saveSucceeds = false;
    script({{5, Connection::unavailable}}, 9);
    tracker->start();
    queue->runAll();
    EXPECT_EQ(journal.matching("send"), (std::vector<std::string>{"send app3 fresh"}));
    EXPECT_EQ(journal.matching("save"), (std::vector<std::string>{"save app7"}));
    EXPECT_TRUE(journal.matching("logged").empty());
}

TEST_F(AppTrackerTest, AReversalWithinOnePollLeavesOneLoopPolling) {
    script({}, 0);
    tracker->start();
    // Lost and regained before the first loop has polled at all.
    reachability->set(Connection::unavailable);
    reachability->set(Connection::connected);
    afterPoll = [this](int poll) {
        if (poll == 10) {
            tracker->stop();
        }
    };
    queue->runAll();
    // The two stale loops end without polling, the offline one with its closing line.
    EXPECT_EQ(journal.polls, 10);
    EXPECT_EQ(journal.matching("info"),
              (std::vector<std::string>{"info Regained internet connection."}));
}

TEST_F(AppTrackerTest, DeliveryOnlyAsksForBatchesWithoutLookingAtApplications) {
    closesOn = [](int) { return true; };
    script({{70, Connection::unavailable}, {80, Connection::connected}}, 150);
    tracker->startDeliveryOnly();
    queue->runAll();
    EXPECT_EQ(journal.matching("batch"),
              (std::vector<std::string>{"batch 10 at poll 60", "batch 10 at poll 130"}));
    EXPECT_TRUE(journal.matching("send").empty());
    EXPECT_TRUE(journal.matching("save").empty());
}

TEST_F(AppTrackerTest, ASecondSetupLinkSwitchesApplicationTrackingOffAndOnAtOnce) {
    closesOn = [](int) { return true; };
    afterPoll = [this](int poll) {
        if (poll == 2) {
            tracker->startDeliveryOnly();
        } else if (poll == 4) {
            tracker->start();
        } else if (poll == 5) {
            tracker->stop();
        }
    };
    tracker->start();
    queue->runAll();
    // The session open at the change to device only is dropped, not sent.
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"send app1 fresh", "send app2 fresh",
                                                       "close at poll 2", "send app5 fresh"}));
}

TEST_F(AppTrackerTest, TheOpenSessionEndsWhenTheScreensSleepAndAtQuitInEitherLoop) {
    afterPoll = [this](int poll) {
        if (poll == 2) {
            screens->sleep();
        } else if (poll == 3) {
            reachability->set(Connection::unavailable);
        } else if (poll == 5) {
            screens->sleep();
            tracker->closeOpenSession(AppTrackerProtocol::AfterClosing::stopTracking);
            // Polling goes on for the batches, but neither a sleep nor a second quit closes
            // anything once the agent has begun to quit.
            screens->sleep();
            tracker->closeOpenSession(AppTrackerProtocol::AfterClosing::stopTracking);
        } else if (poll == 7) {
            tracker->stop();
        }
    };
    closesOn = [](int poll) { return poll == 7; };
    tracker->start();
    queue->runAll();
    EXPECT_EQ(journal.lines,
              (std::vector<std::string>{"close at poll 2", "send open2 fresh",
                                        "info Lost internet connection.", "close at poll 5",
                                        "save open5", "logged saved open5", "close at poll 5",
                                        "save open5", "logged saved open5"}));
}

TEST_F(AppTrackerTest, ANotifierThatCannotStartLogsOnceAndNothingPolls) {
    reachability->startError = "netlink socket refused";
    tracker->start();
    tracker->start();
    queue->runAll();
    EXPECT_EQ(journal.lines, (std::vector<std::string>{
                                 "error Unable to start reachability notifier: netlink socket "
                                 "refused"}));
    EXPECT_EQ(reachability->notifierStarts, 1);
    EXPECT_EQ(journal.polls, 0);
}

} // namespace
} // namespace ulvarend
