#pragma once

#include "interfaces/Credentials.h"
#include "interfaces/LoggerProtocol.h"
#include "interfaces/PersistenceHandlerProtocol.h"
#include "interfaces/RequestHandlerProtocol.h"
#include "interfaces/SendOrSaveHandlerProtocol.h"
#include "interfaces/SettingsProtocol.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace ulvarend {

// Try first, store on failure; stored records are sent again in batches and leave the store
// only once the server has taken them.
class SendOrSaveHandler final : public SendOrSaveHandlerProtocol {
public:
    // Reads the credentials from `settings` once, here.
    SendOrSaveHandler(std::shared_ptr<LoggerProtocol> logger,
                      std::shared_ptr<PersistenceHandlerProtocol> persistenceHandler,
                      std::shared_ptr<RequestHandlerProtocol> requestHandler,
                      std::shared_ptr<SettingsProtocol> settings);

    void sendOrSave(UsagePtr usage, bool fromPersistence) override;
    void sendSomeSavedUsages(std::int64_t limitOfEach) override;
    void saveUnfinishedUsages() override;

private:
    // Records of direct sends whose outcome has not been handled yet. Shared with the request
    // callbacks, which may outlive the handler.
    struct InFlight {
        std::mutex mutex;
        std::uint64_t nextToken = 0;
        std::map<std::uint64_t, UsagePtr> usages;
    };

    void sendStored(UsagePtr usage, UsageType usageType);

    std::shared_ptr<LoggerProtocol> logger;
    std::shared_ptr<PersistenceHandlerProtocol> persistenceHandler;
    std::shared_ptr<RequestHandlerProtocol> requestHandler;
    std::shared_ptr<SettingsProtocol> settings;
    const Credentials credentials;
    const std::shared_ptr<InFlight> inFlight = std::make_shared<InFlight>();
};

} // namespace ulvarend
