#pragma once

#include "interfaces/Credentials.h"
#include "interfaces/LoggerProtocol.h"
#include "interfaces/PersistenceHandlerProtocol.h"
#include "interfaces/RequestHandlerProtocol.h"
#include "interfaces/SendOrSaveHandlerProtocol.h"
#include "interfaces/SettingsProtocol.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

namespace ulvarend {

// Try first, store on failure; stored records are sent again in batches and leave the store
// only once the server has taken them.
//
// One batch of stored records at a time: a batch asked for while one is in flight starts
// nothing, since it would send the same rows again. While the server accepts every record of
// a batch, the next one follows at once, so that what piled up offline drains quickly.
// Records the store could not keep go out directly with each batch. The callbacks run on the
// HTTP client's thread; a batch that follows another starts there.
class SendOrSaveHandler final : public SendOrSaveHandlerProtocol,
                                public std::enable_shared_from_this<SendOrSaveHandler> {
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

    // Where the batches stand. Shared with the request callbacks.
    struct Batches {
        std::mutex mutex;
        bool inFlight = false;
        std::size_t unanswered = 0;
        bool allAccepted = true;
        // Rows the server took during this run of batches, by kind and row id. One that comes
        // back from the store was not deleted: sending it again would only send it twice.
        std::set<std::pair<UsageType, std::int64_t>> accepted;
    };

    void sendStored(UsagePtr usage, UsageType usageType);
    void startBatch(std::int64_t limitOfEach);
    // One record of the batch in flight has its answer.
    enum class Answer { accepted, refused };
    void batchRecordAnswered(const Usage& usage, UsageType usageType, Answer answer,
                             std::int64_t limitOfEach);

    std::shared_ptr<LoggerProtocol> logger;
    std::shared_ptr<PersistenceHandlerProtocol> persistenceHandler;
    std::shared_ptr<RequestHandlerProtocol> requestHandler;
    std::shared_ptr<SettingsProtocol> settings;
    const Credentials credentials;
    const std::shared_ptr<InFlight> inFlight = std::make_shared<InFlight>();
    Batches batches;
};

} // namespace ulvarend
