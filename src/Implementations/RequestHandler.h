#pragma once

#include "interfaces/LoggerProtocol.h"
#include "interfaces/RequestHandlerProtocol.h"
#include "platform/HttpClient.h"

#include <memory>
#include <string>

namespace ulvarend {

// Delivers one record per call as an HTTPS POST to the collection server. Keeps nothing
// between requests and never retries: what a failure means is the caller's decision.
class RequestHandler final : public RequestHandlerProtocol {
public:
    // `collectionHost` is `host` or `host:port` (platform::collectionHost() in the program).
    RequestHandler(std::shared_ptr<LoggerProtocol> logger,
                   std::shared_ptr<platform::HttpClient> httpClient, std::string collectionHost);

    void send(UsagePtr usage, UsageType usageType, const Credentials& credentials,
              SuccessCallback onSuccess, FailureCallback onFailure) override;

private:
    std::shared_ptr<LoggerProtocol> logger;
    std::shared_ptr<platform::HttpClient> httpClient;
    std::string collectionHost;
};

} // namespace ulvarend
