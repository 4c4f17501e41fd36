#pragma once

#include "interfaces/LoggerProtocol.h"
#include "interfaces/RequestHandlerProtocol.h"
#include "platform/HttpClient.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace ulvarend {

// Delivers one record per call as an HTTPS POST to the collection server. Keeps nothing
// between requests and never retries: what a failure means is the caller's decision.
//
// A transport failure (refused connection, time-out, TLS refused) is logged with the HTTP
// library's own reason, once a minute for each kind of failure, with how many more there were;
// the first success after failures says that sending works again. Callbacks and these lines
// come on the HTTP client's thread.
class RequestHandler final : public RequestHandlerProtocol {
public:
    using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::chrono::minutes kFailureLogInterval{1};

    // `collectionHost` is `host` or `host:port` (platform::collectionHost() in the program).
    // One that forms no URL is logged here, and every record sent to it fails.
    RequestHandler(
        std::shared_ptr<LoggerProtocol> logger, std::shared_ptr<platform::HttpClient> httpClient,
        std::string collectionHost,
        SteadyClock now = [] { return std::chrono::steady_clock::now(); });

    void send(UsagePtr usage, UsageType usageType, const Credentials& credentials,
              SuccessCallback onSuccess, FailureCallback onFailure) override;

private:
    // What has been said about transport failures. Shared with the completions, which may
    // outlive the handler.
    class FailureLog {
    public:
        FailureLog(std::shared_ptr<LoggerProtocol> logger_, SteadyClock now_)
            : logger(std::move(logger_)), now(std::move(now_)) {}
        void failed(const std::string& kind, const std::string& description);
        void succeeded();

    private:
        struct Kind {
            std::chrono::steady_clock::time_point lastLogged;
            std::uint64_t unlogged = 0;
        };
        const std::shared_ptr<LoggerProtocol> logger;
        const SteadyClock now;
        std::mutex mutex;
        std::map<std::string, Kind> kinds;
    };

    std::shared_ptr<LoggerProtocol> logger;
    std::shared_ptr<platform::HttpClient> httpClient;
    std::string collectionHost;
    std::optional<std::string> appUsagesUrl;
    std::optional<std::string> deviceUsagesUrl;
    std::shared_ptr<FailureLog> failureLog;
};

} // namespace ulvarend
