#include "Implementations/RequestHandler.h"

#include "platform/Process.h"
#include "platform/Text.h"

#include <chrono>
#include <exception>
#include <utility>

namespace ulvarend {

namespace {
constexpr std::chrono::seconds kRequestTimeout{60};
}

RequestHandler::RequestHandler(std::shared_ptr<LoggerProtocol> logger_,
                               std::shared_ptr<platform::HttpClient> httpClient_,
                               std::string collectionHost_)
    : logger(std::move(logger_)), httpClient(std::move(httpClient_)),
      collectionHost(std::move(collectionHost_)) {}

void RequestHandler::send(UsagePtr usage, UsageType usageType, const Credentials& credentials,
                          SuccessCallback onSuccess, FailureCallback onFailure) {
    const auto url = platform::httpsUrl(collectionHost, endpointPath(usageType));
    if (!url) {
        platform::fatalError("Could not create URL from components");
    }

    platform::HttpRequest request;
    request.url = *url;
    request.method = "POST";
    request.timeout = kRequestTimeout;
    request.headers = {{"Content-Type", "application/json"}};
    request.basicAuth = std::make_pair(credentials.username, credentials.password);
    try {
        request.body = toJson(*usage);
    } catch (const std::exception& error) {
        if (onFailure) {
            onFailure(RequestError{error.what()});
        }
        return;
    }

    httpClient->start(
        std::move(request), [logger = logger, onSuccess = std::move(onSuccess),
                             onFailure = std::move(onFailure)](platform::HttpOutcome outcome) {
            auto fail = [&onFailure](std::optional<RequestError> error) {
                if (onFailure) {
                    onFailure(error);
                }
            };
            if (outcome.transportError || !outcome.response) {
                fail(RequestError{outcome.transportError.value_or("No response")});
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
            if (onSuccess) {
                onSuccess();
            }
        });
}

} // namespace ulvarend
