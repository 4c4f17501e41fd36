#include "platform/HttpClient.h"
#include "platform/Process.h"

#include <chrono>
#include <cstdlib>
#include <curl/curl.h>
#include <exception>
#include <glib.h>
#include <map>
#include <mutex>
#include <thread>

#ifndef ULVAREND_DEFAULT_COLLECTION_HOST
#error "ULVAREND_DEFAULT_COLLECTION_HOST must name the build's collection server host"
#endif

namespace ulvarend::platform {
namespace {

// A server has no business answering a record with more than this, and nothing reads more:
// the rest of a longer answer is read and dropped rather than held in memory.
constexpr std::size_t kMaxResponseBody = 64 * 1024;

void ensureCurlInitialized() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            fatalError("libcurl could not be initialised");
        }
    });
}

struct Queued {
    HttpRequest request;
    HttpCompletion completion;
};

// One request from the moment the worker picks it up until its completion has run.
struct Transfer {
    HttpRequest request;
    HttpCompletion completion;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string responseBody;
    bool responseCut = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    ~Transfer() {
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
        curl_slist_free_all(headers);
    }
};

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    const std::size_t room = kMaxResponseBody - transfer->responseBody.size();
    if (length > room) {
        transfer->responseCut = true;
    }
    transfer->responseBody.append(data, std::min(length, room));
    return length;
}

void runCompletion(const HttpCompletion& completion, HttpOutcome outcome,
                   const ErrorReporter& reportError) {
    if (!completion) {
        return;
    }
    std::string what;
    try {
        completion(std::move(outcome));
        return;
    } catch (const std::exception& error) {
        what = std::string(": ") + error.what();
    } catch (...) {
        // Of a type that has nothing to tell.
    }
    // The worker serves every other request too; it must outlive a faulty callback.
    if (reportError) {
        reportError("HTTP completion threw" + what);
    }
}

HttpOutcome transportFailure(std::string description, std::string kind = {}) {
    if (kind.empty()) {
        kind = description;
    }
    return HttpOutcome{std::nullopt, std::move(description), std::move(kind)};
}

// Everything the worker thread touches. Shared with the thread so that the thread can finish
// on its own if the client is dropped from one of its own completions.
class Engine {
public:
    Engine(std::optional<std::string> caFile_, ErrorReporter reportError_)
        : caFile(std::move(caFile_)), reportError(std::move(reportError_)) {
        multi = curl_multi_init();
        share = curl_share_init();
        if (multi == nullptr || share == nullptr) {
            fatalError("libcurl could not create its handles");
        }
        // Only the worker thread uses the share, so it needs no lock callbacks. Connections
        // are already shared by the multi handle; sessions let a new connection resume TLS.
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }

    ~Engine() {
        curl_multi_cleanup(multi);
        curl_share_cleanup(share);
    }

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void enqueue(HttpRequest request, HttpCompletion completion) {
        {
            std::lock_guard lock(mutex);
            if (!stopping) {
                queued.push_back(Queued{std::move(request), std::move(completion)});
                completion = nullptr;
            }
        }
        if (completion) {
            // No worker will ever take it; failing it here lets its caller keep the record.
            runCompletion(completion, transportFailure(kStopped), reportError);
            return;
        }
        curl_multi_wakeup(multi);
    }

    void requestStop() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        curl_multi_wakeup(multi);
    }

    void run() {
        for (;;) {
            std::vector<Queued> incoming;
            bool stop = false;
            {
                std::lock_guard lock(mutex);
                incoming.swap(queued);
                stop = stopping;
            }
            if (stop) {
                for (auto& waiting : incoming) {
                    runCompletion(waiting.completion, transportFailure(kStopped), reportError);
                }
                break;
            }
            for (auto& waiting : incoming) {
                begin(std::move(waiting));
            }
            int stillRunning = 0;
            curl_multi_perform(multi, &stillRunning);
            collectFinished();
            // curl shortens the wait to its own next timer, and enqueue and requestStop wake
            // it, so an idle worker has no reason to wake up before then.
            curl_multi_poll(multi, nullptr, 0, static_cast<int>(kIdleWait.count()), nullptr);
        }
        failRunning();
    }

private:
    static constexpr std::chrono::milliseconds kIdleWait = std::chrono::hours{1};
    static constexpr const char* kStopped = "The HTTP client stopped before the request finished";

    void begin(Queued next) {
        auto transfer = std::make_unique<Transfer>();
        transfer->request = std::move(next.request);
        transfer->completion = std::move(next.completion);
        if (!configure(*transfer)) {
            runCompletion(
                transfer->completion,
                transportFailure("The request could not be set up for " + transfer->request.url),
                reportError);
            return;
        }
        if (curl_multi_add_handle(multi, transfer->easy) != CURLM_OK) {
            runCompletion(
                transfer->completion,
                transportFailure("The request could not be started for " + transfer->request.url),
                reportError);
            return;
        }
        CURL* easy = transfer->easy;
        running.emplace(easy, std::move(transfer));
    }

    bool configure(Transfer& transfer) {
        transfer.easy = curl_easy_init();
        if (transfer.easy == nullptr) {
            return false;
        }
        CURL* easy = transfer.easy;
        const HttpRequest& request = transfer.request;
        bool ok = true;
        auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };

        set(curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str()));
        set(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https"));
        set(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L));
        set(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
        set(curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count())));
        set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L));
        set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L));
        if (caFile) {
            set(curl_easy_setopt(easy, CURLOPT_CAINFO, caFile->c_str()));
            set(curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr));
        }
        set(curl_easy_setopt(easy, CURLOPT_SHARE, share));

        if (request.method == "POST") {
            set(curl_easy_setopt(easy, CURLOPT_POST, 1L));
        } else {
            set(curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str()));
        }
        if (request.method == "POST" || !request.body.empty()) {
            set(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                                 static_cast<curl_off_t>(request.body.size())));
            set(curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data()));
        }

        for (const auto& [name, value] : request.headers) {
            transfer.headers = curl_slist_append(transfer.headers, (name + ": " + value).c_str());
        }
        // A small body gains nothing from waiting for "100 Continue" first.
        transfer.headers = curl_slist_append(transfer.headers, "Expect:");
        set(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers));

        if (request.basicAuth) {
            set(curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC)));
            set(curl_easy_setopt(easy, CURLOPT_USERNAME, request.basicAuth->first.c_str()));
            set(curl_easy_setopt(easy, CURLOPT_PASSWORD, request.basicAuth->second.c_str()));
        }

        set(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, appendBody));
        set(curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer));
        set(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer));
        return ok;
    }

    void collectFinished() {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            auto found = running.find(message->easy_handle);
            if (found == running.end()) {
                continue;
            }
            std::unique_ptr<Transfer> transfer = std::move(found->second);
            running.erase(found);
            curl_multi_remove_handle(multi, transfer->easy);
            HttpOutcome outcome = outcomeOf(*transfer, message->data.result);
            HttpCompletion completion = std::move(transfer->completion);
            transfer.reset();
            runCompletion(completion, std::move(outcome), reportError);
        }
    }

    static HttpOutcome outcomeOf(Transfer& transfer, CURLcode result) {
        if (result != CURLE_OK) {
            std::string description = curl_easy_strerror(result);
            if (transfer.errorBuffer[0] != '\0') {
                description += ": ";
                description += transfer.errorBuffer;
            }
            description += " (" + transfer.request.url + ")";
            return transportFailure(std::move(description), curl_easy_strerror(result));
        }
        HttpResponse response;
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &response.statusCode);
        char* effectiveUrl = nullptr;
        curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &effectiveUrl);
        response.url = effectiveUrl != nullptr ? effectiveUrl : transfer.request.url;
        curl_header* previous = nullptr;
        while ((previous = curl_easy_nextheader(transfer.easy, CURLH_HEADER, -1, previous))) {
            response.headers.emplace_back(previous->name, previous->value);
        }
        response.body = std::move(transfer.responseBody);
        if (transfer.responseCut) {
            // A character cut in two by the limit is left out whole, so that the text kept
            // reads as the server wrote it.
            while (!response.body.empty() && (response.body.back() & 0xC0) == 0x80) {
                response.body.pop_back();
            }
            if (!response.body.empty() && (response.body.back() & 0x80) != 0) {
                response.body.pop_back();
            }
        }
        return HttpOutcome{std::move(response), std::nullopt};
    }

    void failRunning() {
        auto transfers = std::move(running);
        running.clear();
        for (auto& [easy, transfer] : transfers) {
            curl_multi_remove_handle(multi, easy);
        }
        for (auto& [easy, transfer] : transfers) {
            HttpCompletion completion = std::move(transfer->completion);
            transfer.reset();
            runCompletion(completion, transportFailure(kStopped), reportError);
        }
    }

    const std::optional<std::string> caFile;
    const ErrorReporter reportError;
    CURLM* multi = nullptr;
    CURLSH* share = nullptr;
    std::map<CURL*, std::unique_ptr<Transfer>> running; // worker thread only

    std::mutex mutex;
    std::vector<Queued> queued;
    bool stopping = false;
};

class CurlHttpClient final : public HttpClient {
public:
    CurlHttpClient(std::optional<std::string> caFile, ErrorReporter reportError)
        : engine(std::make_shared<Engine>(std::move(caFile), std::move(reportError))),
          worker([engine = engine] { engine->run(); }) {}

    ~CurlHttpClient() override { shutdown(); }

    void shutdown() override {
        engine->requestStop();
        if (!worker.joinable()) {
            return;
        }
        if (worker.get_id() == std::this_thread::get_id()) {
            // Dropped from one of its own completions: the thread holds the engine and ends
            // by itself once this completion returns.
            worker.detach();
        } else {
            worker.join();
        }
    }

    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    void start(HttpRequest request, HttpCompletion completion) override {
        engine->enqueue(std::move(request), std::move(completion));
    }

private:
    std::shared_ptr<Engine> engine;
    std::thread worker;
};

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

} // namespace

std::string HttpResponse::description() const {
    std::string text =
        "{ URL: " + url + " } { Status Code: " + std::to_string(statusCode) + ", Headers {";
    const char* separator = " ";
    for (const auto& [name, value] : headers) {
        text += separator + name + ": " + value;
        separator = "; ";
    }
    text += headers.empty() ? "} }" : " } }";
    return text;
}

std::shared_ptr<HttpClient> makeCurlHttpClient(ErrorReporter reportError) {
    ensureCurlInitialized();
    return std::make_shared<CurlHttpClient>(environment("ULVAREND_CA_FILE"),
                                            std::move(reportError));
}

std::string collectionHost() {
    return environment("ULVAREND_COLLECTION_HOST").value_or(ULVAREND_DEFAULT_COLLECTION_HOST);
}

std::optional<std::string> httpsUrl(std::string_view host, std::string_view path) {
    ensureCurlInitialized();
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
    if (!url) {
        return std::nullopt;
    }
    const std::string text = "https://" + std::string(host) + std::string(path);
    if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    auto part = [&url](CURLUPart which) -> std::optional<std::string> {
        char* value = nullptr;
        if (curl_url_get(url.get(), which, &value, 0) != CURLUE_OK || value == nullptr) {
            return std::nullopt;
        }
        std::string copy(value);
        curl_free(value);
        return copy;
    };
    // Anything in the host text beyond a host and a port would change where records go.
    for (CURLUPart extra : {CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_OPTIONS, CURLUPART_QUERY,
                            CURLUPART_FRAGMENT}) {
        if (part(extra)) {
            return std::nullopt;
        }
    }
    const auto parsedHost = part(CURLUPART_HOST);
    if (!parsedHost || parsedHost->empty() || part(CURLUPART_PATH) != std::string(path)) {
        return std::nullopt;
    }
    return part(CURLUPART_URL);
}

} // namespace ulvarend::platform
