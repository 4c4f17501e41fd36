#include "Implementations/AppTracker.h"

#include <chrono>

namespace ulvarend {

using platform::Connection;

AppTracker::AppTracker(std::shared_ptr<ActiveWindowHandlerProtocol> activeWindowHandler_,
                       std::shared_ptr<LoggerProtocol> logger_,
                       std::shared_ptr<SendOrSaveHandlerProtocol> sendOrSaveHandler_,
                       std::shared_ptr<PersistenceHandlerProtocol> persistenceHandler_,
                       std::shared_ptr<UsageBuilderProtocol> usageBuilder_,
                       std::shared_ptr<platform::Reachability> reachability_,
                       std::shared_ptr<platform::BackgroundQueue> queue_,
                       std::shared_ptr<platform::Sleeper> sleeper_,
                       std::shared_ptr<platform::ScreenNotifications> screenNotifications_)
    : activeWindowHandler(std::move(activeWindowHandler_)), logger(std::move(logger_)),
      sendOrSaveHandler(std::move(sendOrSaveHandler_)),
      persistenceHandler(std::move(persistenceHandler_)), usageBuilder(std::move(usageBuilder_)),
      reachability(std::move(reachability_)), queue(std::move(queue_)),
      sleeper(std::move(sleeper_)), screenNotifications(std::move(screenNotifications_)) {}

void AppTracker::start() {
    pollsApplications = true;
    startNotifier();
}

void AppTracker::startDeliveryOnly() {
    // The household asked for device sessions only from now on: what is open is not reported.
    if (pollsApplications.exchange(false)) {
        activeWindowHandler->closeActiveWindow();
    }
    startNotifier();
}

void AppTracker::closeOpenSession(AfterClosing after) {
    const bool wasPolling = after == AfterClosing::stopTracking ? pollsApplications.exchange(false)
                                                                : pollsApplications.load();
    if (!wasPolling) {
        return;
    }
    if (const auto closed = activeWindowHandler->closeActiveWindow()) {
        deliver(*closed);
    }
}

void AppTracker::deliver(const ActiveWindow& closed) {
    const auto usage = usageBuilder->buildAppUsage(closed);
    if (!reachability || isOnline()) {
        sendOrSaveHandler->sendOrSave(usage, /*fromPersistence=*/false);
    } else if (persistenceHandler->save(*usage)) {
        logger->logUsage(*usage, UsageLogType::saved);
    }
}

void AppTracker::startNotifier() {
    if (started.exchange(true) || !reachability) {
        return;
    }
    savedUsageCounter = 0;
    std::weak_ptr<AppTracker> weak = weak_from_this();
    // The poll after the screens went to sleep may come only after a resume, so the session
    // ends when they go, not when the poll finds the lock screen.
    if (screenNotifications) {
        screenNotifications->addScreensDidSleepObserver([weak] {
            if (auto self = weak.lock()) {
                self->closeOpenSession(AfterClosing::keepTracking);
            }
        });
    }
    // The monitor may outlive a tracker that is being torn down; its callbacks then do nothing.
    reachability->setWhenReachable([weak] {
        if (auto self = weak.lock()) {
            self->schedule(Network::reachable);
        }
    });
    reachability->setWhenUnreachable([weak] {
        if (auto self = weak.lock()) {
            self->schedule(Network::unreachable);
        }
    });
    if (std::string whyNot; !reachability->startNotifier(&whyNot)) {
        logger->logError("Unable to start reachability notifier: " + whyNot);
    }
}

void AppTracker::stop() {
    stopped = true;
    ++currentGeneration;
}

void AppTracker::schedule(Network network) {
    // The network may still change after the process began to quit.
    if (stopped) {
        return;
    }
    const std::uint64_t generation = ++currentGeneration;
    // A loop keeps the tracker alive while it runs and ends by itself once it is stale.
    queue->async([self = shared_from_this(), network, generation] {
        if (network == Network::reachable) {
            self->onlineLoop(generation);
        } else {
            self->offlineLoop(generation);
        }
    });
}

bool AppTracker::isOnline() const {
    return reachability->connection() != Connection::unavailable;
}

void AppTracker::onlineLoop(std::uint64_t generation) {
    while (isCurrent(generation) && isOnline()) {
        if (++savedUsageCounter >= kPollsPerBatch) {
            savedUsageCounter = 0;
            sendOrSaveHandler->sendSomeSavedUsages(kBatchLimit);
        }
        if (const auto closed =
                pollsApplications ? activeWindowHandler->updateActiveWindow() : std::nullopt) {
            sendOrSaveHandler->sendOrSave(usageBuilder->buildAppUsage(*closed),
                                          /*fromPersistence=*/false);
        }
        sleeper->sleep(std::chrono::seconds{1});
    }
    // A loop that was only superseded (the state flipped back within one poll) ends quietly.
    if (!isOnline()) {
        logger->logInfo("Lost internet connection.");
    }
}

void AppTracker::offlineLoop(std::uint64_t generation) {
    while (isCurrent(generation) && !isOnline()) {
        if (const auto closed =
                pollsApplications ? activeWindowHandler->updateActiveWindow() : std::nullopt) {
            const auto usage = usageBuilder->buildAppUsage(*closed);
            if (persistenceHandler->save(*usage)) {
                logger->logUsage(*usage, UsageLogType::saved);
            }
        }
        sleeper->sleep(std::chrono::seconds{1});
    }
    if (isOnline()) {
        logger->logInfo("Regained internet connection.");
    }
}

} // namespace ulvarend
