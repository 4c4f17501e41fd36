#pragma once

#include "interfaces/ActiveWindowHandlerProtocol.h"
#include "interfaces/AppTrackerProtocol.h"
#include "interfaces/LoggerProtocol.h"
#include "interfaces/PersistenceHandlerProtocol.h"
#include "interfaces/SendOrSaveHandlerProtocol.h"
#include "interfaces/UsageBuilderProtocol.h"
#include "platform/Reachability.h"
#include "platform/ScreenNotifications.h"
#include "platform/Threads.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace ulvarend {

class AppTracker final : public AppTrackerProtocol,
                         public std::enable_shared_from_this<AppTracker> {
public:
    static constexpr std::uint32_t kPollsPerBatch = 60;
    static constexpr std::int64_t kBatchLimit = 10;

    // `reachability` is empty when no monitor could be made; the tracker then records nothing.
    AppTracker(std::shared_ptr<ActiveWindowHandlerProtocol> activeWindowHandler,
               std::shared_ptr<LoggerProtocol> logger,
               std::shared_ptr<SendOrSaveHandlerProtocol> sendOrSaveHandler,
               std::shared_ptr<PersistenceHandlerProtocol> persistenceHandler,
               std::shared_ptr<UsageBuilderProtocol> usageBuilder,
               std::shared_ptr<platform::Reachability> reachability,
               std::shared_ptr<platform::BackgroundQueue> queue,
               std::shared_ptr<platform::Sleeper> sleeper,
               std::shared_ptr<platform::ScreenNotifications> screenNotifications = nullptr);

    // A second start is ignored: the loops already follow the network. A start after
    // `startDeliveryOnly()` switches application polling on, and the other way round.
    void start() override;
    void startDeliveryOnly() override;
    void closeOpenSession(AfterClosing after) override;
    void stop() override;

private:
    void onlineLoop(std::uint64_t generation);
    void offlineLoop(std::uint64_t generation);
    enum class Network { reachable, unreachable };
    void schedule(Network network);
    void startNotifier();
    bool isCurrent(std::uint64_t generation) const { return currentGeneration == generation; }
    bool isOnline() const;
    void deliver(const ActiveWindow& closed);

    std::shared_ptr<ActiveWindowHandlerProtocol> activeWindowHandler;
    std::shared_ptr<LoggerProtocol> logger;
    std::shared_ptr<SendOrSaveHandlerProtocol> sendOrSaveHandler;
    std::shared_ptr<PersistenceHandlerProtocol> persistenceHandler;
    std::shared_ptr<UsageBuilderProtocol> usageBuilder;
    std::shared_ptr<platform::Reachability> reachability;
    std::shared_ptr<platform::BackgroundQueue> queue;
    std::shared_ptr<platform::Sleeper> sleeper;
    std::shared_ptr<platform::ScreenNotifications> screenNotifications;

    std::atomic<bool> started{false};
    std::atomic<bool> stopped{false};
    std::atomic<bool> pollsApplications{false};
    // Online polls towards the next batch; kept across offline periods.
    std::atomic<std::uint32_t> savedUsageCounter{0};
    // Every callback of the monitor starts a new loop and makes the older one stale, so that a
    // state that flips back within one poll still leaves a single loop polling.
    std::atomic<std::uint64_t> currentGeneration{0};
};

} // namespace ulvarend
