#include "Implementations/SendOrSaveHandler.h"

#include <algorithm>
#include <utility>

namespace ulvarend {

SendOrSaveHandler::SendOrSaveHandler(
    std::shared_ptr<LoggerProtocol> logger_,
    std::shared_ptr<PersistenceHandlerProtocol> persistenceHandler_,
    std::shared_ptr<RequestHandlerProtocol> requestHandler_,
    std::shared_ptr<SettingsProtocol> settings_)
    : logger(std::move(logger_)), persistenceHandler(std::move(persistenceHandler_)),
      requestHandler(std::move(requestHandler_)), settings(std::move(settings_)),
      credentials(settings->credentials()) {}

void SendOrSaveHandler::sendOrSave(UsagePtr usage, bool fromPersistence) {
    const UsageType usageType = usageTypeOf(*usage);
    if (fromPersistence) {
        sendStored(std::move(usage), usageType);
        return;
    }

    std::uint64_t token = 0;
    {
        std::lock_guard lock(inFlight->mutex);
        token = inFlight->nextToken++;
        inFlight->usages.emplace(token, usage);
    }
    // The lock is held while an outcome is handled, so that saveUnfinishedUsages, once it
    // returns, leaves no save half done; whoever takes the record out of the map owns it.
    auto onSuccess = [inFlight = inFlight, logger = logger, token] {
        std::lock_guard lock(inFlight->mutex);
        auto found = inFlight->usages.find(token);
        if (found == inFlight->usages.end()) {
            return;
        }
        logger->logUsage(*found->second, UsageLogType::sentDirectly);
        inFlight->usages.erase(found);
    };
    auto onFailure = [inFlight = inFlight, logger = logger, persistenceHandler = persistenceHandler,
                      token](const std::optional<RequestError>&) {
        std::lock_guard lock(inFlight->mutex);
        auto found = inFlight->usages.find(token);
        if (found == inFlight->usages.end()) {
            return;
        }
        const UsagePtr failed = std::move(found->second);
        inFlight->usages.erase(found);
        if (persistenceHandler->save(*failed)) {
            logger->logUsage(*failed, UsageLogType::saved);
        }
    };
    requestHandler->send(std::move(usage), usageType, credentials, std::move(onSuccess),
                         std::move(onFailure));
}

void SendOrSaveHandler::sendStored(UsagePtr usage, UsageType usageType) {
    auto onSuccess = [logger = logger, persistenceHandler = persistenceHandler, usage] {
        logger->logUsage(*usage, UsageLogType::sentFromPersistence);
        persistenceHandler->deleteUsage(*usage);
    };
    // No failure callback: the row stays where it is and a later batch sends it again.
    requestHandler->send(std::move(usage), usageType, credentials, std::move(onSuccess), nullptr);
}

void SendOrSaveHandler::sendSomeSavedUsages(std::int64_t limitOfEach) {
    // SQLite reads a negative limit as "no limit"; a batch must stay bounded.
    if (limitOfEach <= 0) {
        return;
    }
    {
        std::lock_guard lock(batches.mutex);
        if (batches.inFlight) {
            return;
        }
        batches.inFlight = true;
        batches.accepted.clear();
    }
    startBatch(limitOfEach);
}

void SendOrSaveHandler::startBatch(std::int64_t limitOfEach) {
    // What the store could not take goes out directly; if that fails too, the store tries
    // again.
    for (auto& usage : persistenceHandler->takeUnstoredUsages()) {
        sendOrSave(std::move(usage), /*fromPersistence=*/false);
    }
    const auto appUsages = persistenceHandler->fetchAllAppUsages(limitOfEach);
    const auto deviceUsages = persistenceHandler->fetchDeviceUsages(limitOfEach);
    {
        std::lock_guard lock(batches.mutex);
        const auto sentBefore = [this](UsageType type, const auto& usage) {
            return usage->id && batches.accepted.count({type, *usage->id}) != 0;
        };
        const bool repeats =
            std::any_of(appUsages.begin(), appUsages.end(),
                        [&](const auto& usage) { return sentBefore(UsageType::app, usage); }) ||
            std::any_of(deviceUsages.begin(), deviceUsages.end(),
                        [&](const auto& usage) { return sentBefore(UsageType::device, usage); });
        if (repeats || (appUsages.empty() && deviceUsages.empty())) {
            // Drained, or a delete failed: the next batch in its turn tries again.
            batches.inFlight = false;
            return;
        }
        batches.unanswered = appUsages.size() + deviceUsages.size();
        batches.allAccepted = true;
    }
    std::weak_ptr<SendOrSaveHandler> weak = weak_from_this();
    const auto send = [&](UsagePtr usage, UsageType usageType) {
        auto onSuccess = [weak, logger = logger, persistenceHandler = persistenceHandler, usage,
                          usageType, limitOfEach] {
            logger->logUsage(*usage, UsageLogType::sentFromPersistence);
            persistenceHandler->deleteUsage(*usage);
            if (auto self = weak.lock()) {
                self->batchRecordAnswered(*usage, usageType, Answer::accepted, limitOfEach);
            }
        };
        // The row stays where it is and a later batch sends it again.
        auto onFailure = [weak, usage, usageType, limitOfEach](const std::optional<RequestError>&) {
            if (auto self = weak.lock()) {
                self->batchRecordAnswered(*usage, usageType, Answer::refused, limitOfEach);
            }
        };
        requestHandler->send(std::move(usage), usageType, credentials, std::move(onSuccess),
                             std::move(onFailure));
    };
    for (const auto& usage : appUsages) {
        send(usage, UsageType::app);
    }
    for (const auto& usage : deviceUsages) {
        send(usage, UsageType::device);
    }
}

void SendOrSaveHandler::batchRecordAnswered(const Usage& usage, UsageType usageType, Answer answer,
                                            std::int64_t limitOfEach) {
    const bool wasAccepted = answer == Answer::accepted;
    {
        std::lock_guard lock(batches.mutex);
        if (wasAccepted && usage.id) {
            batches.accepted.emplace(usageType, *usage.id);
        }
        batches.allAccepted = batches.allAccepted && wasAccepted;
        if (--batches.unanswered != 0) {
            return;
        }
        if (!batches.allAccepted) {
            // The server is struggling: the next batch waits for its turn.
            batches.inFlight = false;
            return;
        }
    }
    startBatch(limitOfEach);
}

void SendOrSaveHandler::saveUnfinishedUsages() {
    std::lock_guard lock(inFlight->mutex);
    auto unfinished = std::move(inFlight->usages);
    inFlight->usages.clear();
    for (const auto& [token, usage] : unfinished) {
        if (persistenceHandler->save(*usage)) {
            logger->logUsage(*usage, UsageLogType::saved);
        }
    }
}

} // namespace ulvarend
