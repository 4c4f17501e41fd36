#pragma once

#include "platform/ErrorReporter.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ulvarend::platform {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string url;
    std::string method = "POST";
    // Sent as given, in order; the client adds only what the protocol needs (host, length).
    HttpHeaders headers;
    std::string body;
    // Basic authentication; the client builds the Authorization header from these. The user
    // name may contain a colon.
    std::optional<std::pair<std::string, std::string>> basicAuth;
    std::chrono::milliseconds timeout{std::chrono::seconds{60}};
};

struct HttpResponse {
    std::string url;
    long statusCode = 0;
    HttpHeaders headers;
    std::string body;

    // URL, status code and header fields, for the log.
    std::string description() const;
};

// Exactly one of the two is set: a response, or the transport failure that kept one from
// arriving (refused connection, TLS failure, time-out...).
struct HttpOutcome {
    std::optional<HttpResponse> response;
    std::optional<std::string> transportError;
    // With a transport error: its kind in a few words that do not change from one request to
    // the next (the HTTP library's own name for it), so that failures can be told apart.
    std::string transportErrorKind = {};
};

using HttpCompletion = std::function<void(HttpOutcome)>;

// Runs many requests at once on one worker thread. `start` may be called from any thread and
// returns at once; each completion runs exactly once, on the worker thread. Connections and
// TLS sessions are reused between requests. Certificate and host name are always verified.
class HttpClient {
public:
    virtual ~HttpClient() = default;
    virtual void start(HttpRequest request, HttpCompletion completion) = 0;
    // Finishes the requests still running with a transport error and stops the worker, for a
    // process about to end. A request started afterwards fails at once, on the caller's thread.
    virtual void shutdown() = 0;
};

// Trusts the CA certificates of the PEM file named by ULVAREND_CA_FILE (read now) instead of
// the system store when that variable is set. Destroying the client finishes the requests
// still running with a transport error and stops the worker. A completion that throws is
// reported through `reportError`, from the thread it ran on, and the worker goes on.
std::shared_ptr<HttpClient> makeCurlHttpClient(ErrorReporter reportError = nullptr);

// The collection server, `host` or `host:port`: ULVAREND_COLLECTION_HOST when set and not
// empty, else the host chosen at build time.
std::string collectionHost();

// "https://" + host + path, when that is a URL whose host is exactly `host` (with its port)
// and whose path is exactly `path`; nothing otherwise.
std::optional<std::string> httpsUrl(std::string_view host, std::string_view path);

} // namespace ulvarend::platform
