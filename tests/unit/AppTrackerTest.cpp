#include "Implementations/AppTracker.h"

#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace ulvarend {
namespace {

using namespace std::chrono;
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

class FakeReachability : public platform::Reachability {
public:
    std::function<void()> reachable, unreachable;
    Connection state = Connection::connected;
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
    Connection connection() override { return state; }
    void set(Connection c) {
        state = c;
        report();
    }
    void report() { (state == Connection::connected ? reachable : unreachable)(); }
};

// Tasks wait until the test runs them, one after the other on the test's thread.
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

// Each sleep ends a poll; the test's script decides what happens to the world in between.
class ScriptedSleeper : public platform::Sleeper {
public:
    explicit ScriptedSleeper(Journal& journal) : journal(journal) {}
    std::function<void(int poll)> afterPoll;
    void sleep(milliseconds duration) override {
        EXPECT_EQ(duration, seconds{1});
        ++journal.polls;
        if (afterPoll) {
            afterPoll(journal.polls);
        }
    }
    Journal& journal;
};

class FakeWindows : public ActiveWindowHandlerProtocol {
public:
    explicit FakeWindows(Journal& journal) : journal(journal) {}
    // A session closes on every poll whose number is in the set.
    std::function<bool(int poll)> closesOn = [](int) { return false; };
    std::optional<ActiveWindow> updateActiveWindow() override {
        const int poll = journal.polls + 1;
        if (!closesOn(poll)) {
            return std::nullopt;
        }
        return ActiveWindow{"app" + std::to_string(poll), TimePoint{}, TimePoint{seconds{1}}};
    }
    std::optional<ActiveWindow> closeActiveWindow() override {
        journal.add("close at poll " + std::to_string(journal.polls));
        return ActiveWindow{"open" + std::to_string(journal.polls), TimePoint{}, TimePoint{}};
    }
    Journal& journal;
};

class FakeBuilder : public UsageBuilderProtocol {
public:
    std::shared_ptr<DeviceUsage> buildDeviceUsage(EventType) override { return nullptr; }
    std::shared_ptr<DeviceUsage> buildDeviceUsage(EventType, const std::string&) override {
        return nullptr;
    }
    std::shared_ptr<AppUsage> buildAppUsage(const ActiveWindow& window) override {
        return std::make_shared<AppUsage>("p:A", "M", TimePoint{}, 1, window.bundleIdentifier,
                                          1000);
    }
};

class FakeSendOrSave : public SendOrSaveHandlerProtocol {
public:
    explicit FakeSendOrSave(Journal& journal) : journal(journal) {}
    void sendOrSave(UsagePtr usage, bool fromPersistence) override {
        journal.add("send " + static_cast<AppUsage&>(*usage).package +
                    (fromPersistence ? " stored" : " fresh"));
    }
    void sendSomeSavedUsages(std::int64_t limit) override {
        journal.add("batch " + std::to_string(limit) + " at poll " +
                    std::to_string(journal.polls + 1));
    }
    void saveUnfinishedUsages() override {}
    Journal& journal;
};

class FakeStore : public PersistenceHandlerProtocol {
public:
    explicit FakeStore(Journal& journal) : journal(journal) {}
    bool saveSucceeds = true;
    bool save(const Usage& usage) override {
        journal.add("save " + static_cast<const AppUsage&>(usage).package);
        return saveSucceeds;
    }
    void deleteUsage(const Usage&) override {}
    std::vector<std::shared_ptr<DeviceUsage>> fetchDeviceUsages(std::int64_t) override {
        return {};
    }
    std::vector<std::shared_ptr<AppUsage>> fetchAllAppUsages(std::int64_t) override { return {}; }
    std::vector<UsagePtr> takeUnstoredUsages() override { return {}; }
    Journal& journal;
};

class FakeLogger : public LoggerProtocol {
public:
    explicit FakeLogger(Journal& journal) : journal(journal) {}
    void logUsage(const Usage& usage, UsageLogType type) override {
        journal.add(std::string(type == UsageLogType::saved ? "logged saved " : "logged other ") +
                    static_cast<const AppUsage&>(usage).package);
    }
    void logInfo(const std::string& m) override { journal.add("info " + m); }
    void logError(const std::string& m) override { journal.add("error " + m); }
    Journal& journal;
};

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

class AppTrackerTest : public ::testing::Test {
protected:
    Journal journal;
    std::shared_ptr<FakeReachability> reachability = std::make_shared<FakeReachability>();
    std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>();
    std::shared_ptr<ScriptedSleeper> sleeper = std::make_shared<ScriptedSleeper>(journal);
    std::shared_ptr<FakeWindows> windows = std::make_shared<FakeWindows>(journal);
    std::shared_ptr<FakeStore> store = std::make_shared<FakeStore>(journal);
    std::shared_ptr<FakeScreens> screens = std::make_shared<FakeScreens>();
    std::shared_ptr<AppTracker> tracker = std::make_shared<AppTracker>(
        windows, std::make_shared<FakeLogger>(journal), std::make_shared<FakeSendOrSave>(journal),
        store, std::make_shared<FakeBuilder>(), reachability, queue, sleeper, screens);

    // Network changes at the given polls; tracking stops at `lastPoll`.
    void script(std::vector<std::pair<int, Connection>> changes, int lastPoll) {
        sleeper->afterPoll = [this, changes, lastPoll](int poll) {
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
    windows->closesOn = [](int poll) { return poll == 41 || poll == 45; };
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
    windows->closesOn = [](int poll) { return poll == 3 || poll == 7; };
    store->saveSucceeds = false;
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
    sleeper->afterPoll = [this](int poll) {
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
    windows->closesOn = [](int) { return true; };
    script({{70, Connection::unavailable}, {80, Connection::connected}}, 150);
    tracker->startDeliveryOnly();
    queue->runAll();
    EXPECT_EQ(journal.matching("batch"),
              (std::vector<std::string>{"batch 10 at poll 60", "batch 10 at poll 130"}));
    EXPECT_TRUE(journal.matching("send").empty());
    EXPECT_TRUE(journal.matching("save").empty());
}

TEST_F(AppTrackerTest, ASecondSetupLinkSwitchesApplicationTrackingOffAndOnAtOnce) {
    windows->closesOn = [](int) { return true; };
    sleeper->afterPoll = [this](int poll) {
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
    sleeper->afterPoll = [this](int poll) {
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
    windows->closesOn = [](int poll) { return poll == 7; };
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
