#include "app/Container.h"

#include "app/Registrations.h"
#include "interfaces/ActiveWindowHandlerProtocol.h"
#include "interfaces/AlertHandlerProtocol.h"
#include "interfaces/DateTimeHandlerProtocol.h"
#include "interfaces/LaunchAtLoginHandlerProtocol.h"
#include "interfaces/LoggerProtocol.h"
#include "interfaces/PersistenceHandlerProtocol.h"
#include "interfaces/RequestHandlerProtocol.h"
#include "interfaces/SendOrSaveHandlerProtocol.h"
#include "interfaces/SettingsProtocol.h"
#include "interfaces/SetupHandlerProtocol.h"
#include "interfaces/UsageBuilderProtocol.h"
#include "platform/Threads.h"
#include "support/Mocks.h"
#include "support/TemporaryHome.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace ulvarend {
namespace {

struct ClockLike {
    virtual ~ClockLike() = default;
};
struct StoreLike {
    virtual ~StoreLike() = default;
    virtual std::shared_ptr<ClockLike> clock() const = 0;
};
struct RunnerLike {
    virtual ~RunnerLike() = default;
};

struct Clock : ClockLike {};
struct Store : StoreLike {
    explicit Store(std::shared_ptr<ClockLike> c) : c(std::move(c)) {}
    std::shared_ptr<ClockLike> clock() const override { return c; }
    std::shared_ptr<ClockLike> c;
};
struct Runner : RunnerLike {
    Runner(std::shared_ptr<ClockLike> clock, std::shared_ptr<StoreLike> store)
        : clock(std::move(clock)), store(std::move(store)) {}
    std::shared_ptr<ClockLike> clock;
    std::shared_ptr<StoreLike> store;
};

class ContainerTest : public ::testing::Test {
protected:
    Container container;
    std::atomic<int> storesBuilt{0};

    void SetUp() override {
        container.registerFactory<ClockLike>([](Resolver&) { return std::make_shared<Clock>(); });
        container
            .registerFactory<StoreLike>([this](Resolver& r) {
                ++storesBuilt;
                // Slow enough that concurrent first resolutions would overlap without the lock.
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                return std::make_shared<Store>(r.resolve<ClockLike>());
            })
            .inObjectScope(ObjectScope::container);
        container.registerFactory<RunnerLike>([](Resolver& r) {
            return std::make_shared<Runner>(r.resolve<ClockLike>(), r.resolve<StoreLike>());
        });
    }
};

TEST_F(ContainerTest, GraphScopedServicesAreSharedWithinOneResolutionAndFreshAcross) {
    auto first = std::static_pointer_cast<Runner>(container.resolve<RunnerLike>());
    auto second = std::static_pointer_cast<Runner>(container.resolve<RunnerLike>());

    EXPECT_NE(first, second);
    EXPECT_EQ(first->clock, first->store->clock()); // built in the same resolution
    EXPECT_NE(first->clock, second->clock);
    EXPECT_NE(container.resolve<ClockLike>(), container.resolve<ClockLike>());
}

TEST_F(ContainerTest, ContainerScopedServicesAreBuiltOnFirstNeedAndKept) {
    EXPECT_EQ(storesBuilt, 0);
    auto runner = std::static_pointer_cast<Runner>(container.resolve<RunnerLike>());
    EXPECT_EQ(storesBuilt, 1);
    EXPECT_EQ(container.resolve<StoreLike>(), runner->store);
    // The kept service keeps the collaborator it was built with.
    EXPECT_EQ(container.resolve<StoreLike>()->clock(), runner->clock);
    EXPECT_EQ(storesBuilt, 1);
}

TEST_F(ContainerTest, ConcurrentFirstResolutionsBuildOneSingleton) {
    std::vector<std::shared_ptr<StoreLike>> results(8);
    std::vector<std::thread> threads;
    for (auto& result : results) {
        threads.emplace_back([&] { result = container.resolve<StoreLike>(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(storesBuilt, 1);
    for (const auto& result : results) {
        EXPECT_EQ(result, results.front());
    }
}

TEST(SharedContainerTest, RegistrationsAreMadeOnceUnderConcurrentFirstUse) {
    std::atomic<int> registrations{0};
    SharedContainer shared([&](Container& c) {
        ++registrations;
        // Slow enough that concurrent first uses would overlap without the once-only guard.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        c.registerFactory<ClockLike>([](Resolver&) { return std::make_shared<Clock>(); });
    });
    std::vector<Container*> seen(8);
    std::vector<std::thread> threads;
    for (auto& s : seen) {
        threads.emplace_back([&] {
            s = &shared.get();
            s->resolve<ClockLike>();
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(registrations, 1);
    for (auto* s : seen) {
        EXPECT_EQ(s, seen.front());
    }
}

using ContainerDeathTest = ContainerTest;

TEST_F(ContainerDeathTest, ProgrammingErrorsStopTheProcessWithTheirCause) {
    struct Unregistered {};
    EXPECT_DEATH(container.resolve<Unregistered>(), "No service is registered for .*Unregistered");

    container.registerFactory<ClockLike>([](Resolver&) { return std::shared_ptr<Clock>(); });
    EXPECT_DEATH(container.resolve<ClockLike>(), "The factory for .*ClockLike built nothing");

    container.registerFactory<ClockLike>([](Resolver& r) {
        r.resolve<RunnerLike>();
        return std::make_shared<Clock>();
    });
    EXPECT_DEATH(container.resolve<RunnerLike>(), "Circular dependency while resolving");
}

// Services that hold state the agent shares (settings, the store, the log, delivery) must be
// one object for all; those that keep none are made afresh for each request.
TEST(AgentRegistrations, StatefulServicesAreSharedAndTheOthersFresh) {
    testing::TemporaryHome home;
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    Container agent;
    registerServices(agent);
    const auto shared = [&](auto resolve) {
        return resolve() != nullptr && resolve() == resolve();
    };
    const auto fresh = [&](auto resolve) {
        auto first = resolve();
        return first != nullptr && first != resolve();
    };
    EXPECT_TRUE(shared([&] { return agent.resolve<SettingsProtocol>(); }));
    EXPECT_TRUE(shared([&] { return agent.resolve<LoggerProtocol>(); }));
    EXPECT_TRUE(shared([&] { return agent.resolve<PersistenceHandlerProtocol>(); }));
    EXPECT_TRUE(shared([&] { return agent.resolve<SendOrSaveHandlerProtocol>(); }));
    EXPECT_TRUE(shared([&] { return agent.resolve<AlertHandlerProtocol>(); }));
    EXPECT_TRUE(fresh([&] { return agent.resolve<SetupHandlerProtocol>(); }));
    EXPECT_TRUE(fresh([&] { return agent.resolve<RequestHandlerProtocol>(); }));
    EXPECT_TRUE(fresh([&] { return agent.resolve<UsageBuilderProtocol>(); }));
    EXPECT_TRUE(fresh([&] { return agent.resolve<DateTimeHandlerProtocol>(); }));
    EXPECT_TRUE(fresh([&] { return agent.resolve<LaunchAtLoginHandlerProtocol>(); }));
    stopServicesInOrder(agent);
}

// The quit path reaches the services through their protocols alone: what the container holds
// behind them is stopped, saved and flushed, in this order.
TEST(AgentRegistrations, TheQuitPathStopsSavesAndFlushesInOrder) {
    using testing::StrictShared;
    StrictShared<testing::MockAppTracker> tracker;
    StrictShared<testing::MockSendOrSaveHandler> sendOrSave;
    StrictShared<testing::MockHttpClient> http;
    StrictShared<testing::MockLogger> logger;
    Container agent;
    agent.registerFactory<AppTrackerProtocol>([&](Resolver&) { return tracker; });
    agent.registerFactory<platform::BackgroundQueue>(
        [](Resolver&) { return platform::makeThreadQueue(); });
    agent.registerFactory<SendOrSaveHandlerProtocol>([&](Resolver&) { return sendOrSave; });
    agent.registerFactory<platform::HttpClient>([&](Resolver&) { return http; });
    agent.registerFactory<LoggerProtocol>([&](Resolver&) { return logger; });
    ::testing::InSequence order;
    EXPECT_CALL(*tracker, stop());
    EXPECT_CALL(*sendOrSave, saveUnfinishedUsages());
    EXPECT_CALL(*http, shutdown());
    EXPECT_CALL(*logger, flush());
    stopServicesInOrder(agent);
}

} // namespace
} // namespace ulvarend
