#include "Implementations/RequestHandler.h"

#include "platform/Text.h"

#include <chrono>
#include <utility>

namespace ulvarend {

namespace {
constexpr std::chrono::seconds kRequestTimeout{60};
constexpr const char* kNoUrl = "Could not create URL from components";
} // namespace

RequestHandler::RequestHandler(std::shared_ptr<LoggerProtocol> logger_,
                               std::shared_ptr<platform::HttpClient> httpClient_,
                               std::string collectionHost_, SteadyClock now)
    : logger(std::move(logger_)), httpClient(std::move(httpClient_)),
      collectionHost(std::move(collectionHost_)),
      appUsagesUrl(platform::httpsUrl(collectionHost, endpointPath(UsageType::app))),
      deviceUsagesUrl(platform::httpsUrl(collectionHost, endpointPath(UsageType::device))),
      failureLog(std::make_shared<FailureLog>(logger, std::move(now))) {
    // Said at once: the agent keeps every record until the host is mended.
    if (!appUsagesUrl || !deviceUsagesUrl) {
        logger->logError(std::string(kNoUrl) + ": the collection server host \"" + collectionHost +
                         "\" is not a host name with an optional port");
    }
}

void RequestHandler::FailureLog::failed(const std::string& kind, const std::string& description) {
    std::string line;
    {
        std::lock_guard lock(mutex);
        const auto at = now();
        auto [entry, isNew] = kinds.try_emplace(kind);
        if (!isNew && at - entry->second.lastLogged < kFailureLogInterval) {
            ++entry->second.unlogged;
            return;
        }
        line = "Sending failed: " + description;
        if (entry->second.unlogged > 0) {
            line += " (" + std::to_string(entry->second.unlogged) +
                    " more like it since the last such line)";
        }
        entry->second = Kind{at, 0};
    }
    logger->logError(line);
}

void RequestHandler::FailureLog::succeeded() {
    {
        std::lock_guard lock(mutex);
        if (kinds.empty()) {
            return;
        }
        kinds.clear();
    }
    logger->logInfo("Sending works again.");
}

void RequestHandler::send(UsagePtr usage, UsageType usageType, const Credentials& credentials,
                          SuccessCallback onSuccess, FailureCallback onFailure) {
    const auto& url = usageType == UsageType::app ? appUsagesUrl : deviceUsagesUrl;
    if (!url) {
        if (onFailure) {
            onFailure(RequestError{kNoUrl});
        }
        return;
    }

    platform::HttpRequest request;
    request.url = *url;
    request.method = "POST";
    request.timeout = kRequestTimeout;
    request.headers = {{"Content-Type", "application/json"}};
    request.basicAuth = std::make_pair(credentials.username, credentials.password);
    request.body = toJson(*usage);

    httpClient->start(
        std::move(request),
        [logger = logger, failureLog = failureLog, onSuccess = std::move(onSuccess),
         onFailure = std::move(onFailure)](platform::HttpOutcome outcome) {
            auto fail = [&onFailure](std::optional<RequestError> error) {
                if (onFailure) {
                    onFailure(error);
                }
            };
            if (outcome.transportError || !outcome.response) {
                const std::string description = outcome.transportError.value_or("No response");
                failureLog->failed(outcome.transportErrorKind.empty() ? description
                                                                      : outcome.transportErrorKind,
                                   description);
                fail(RequestError{description});
                return;
            }
            const platform::HttpResponse& response = *outcome.response;
            if (response.statusCode != 200) {
                logger->logError("Received Error Response: " + response.description());
                fail(std::nullopt);
                return;
            }
            if (!platform::isValidUtf8(response.body)) {
                fail(std::nullopt);
                return;
            }
            failureLog->succeeded();
            if (onSuccess) {
                onSuccess();
            }
        });
}

} // namespace ulvarend
