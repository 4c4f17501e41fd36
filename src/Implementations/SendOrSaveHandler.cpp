#include "Implementations/SendOrSaveHandler.h"

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
    const auto appUsages = persistenceHandler->fetchAllAppUsages(limitOfEach);
    const auto deviceUsages = persistenceHandler->fetchDeviceUsages(limitOfEach);
    for (const auto& usage : appUsages) {
        sendStored(usage, UsageType::app);
    }
    for (const auto& usage : deviceUsages) {
        sendStored(usage, UsageType::device);
    }
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
