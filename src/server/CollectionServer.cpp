#include "server/CollectionServer.h"

#include <algorithm>
#include <httplib.h>
#include <spdlog/spdlog.h>

namespace ulvarend::server {
namespace {

constexpr auto kReportEvery = std::chrono::minutes(1);
constexpr auto kChartDays = 60;
// Agents send a record now and then; an idle connection gives its thread back soon.
constexpr int kKeepAliveSeconds = 5;
constexpr std::size_t kKeepAliveRequests = 10000;

const std::string kRealm = "Basic realm=\"ulvarend\", charset=\"UTF-8\"";

// The media type of a Content-Type value, without parameters, in lower case.
std::string mediaType(const std::string& contentType) {
    std::string type = contentType.substr(0, contentType.find(';'));
    type.erase(std::remove(type.begin(), type.end(), ' '), type.end());
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return type;
}

void refuseMethod(const httplib::Request&, httplib::Response& response) {
    response.status = 405;
    response.set_header("Allow", "POST");
}

void bound(httplib::Server& server, int seconds) {
    // An answer is one small write: sent at once rather than held for the client's
    // delayed ACK (Nagle), which otherwise adds tens of milliseconds to every record.
    server.set_tcp_nodelay(true);
    server.set_read_timeout(seconds, 0);
    server.set_write_timeout(seconds, 0);
    server.set_keep_alive_timeout(kKeepAliveSeconds);
    server.set_keep_alive_max_count(kKeepAliveRequests);
}

bool bindTo(httplib::Server& server, const Listen& listen, int& port, std::string* whyNot) {
    port = listen.port == 0 ? server.bind_to_any_port(listen.host)
                            : (server.bind_to_port(listen.host, listen.port) ? listen.port : -1);
    if (port < 0 && whyNot != nullptr) {
        *whyNot = "cannot listen on " + listen.host + ":" + std::to_string(listen.port);
    }
    return port >= 0;
}

} // namespace

CollectionServer::CollectionServer(ServerConfig config_, std::shared_ptr<RecordStore> store_)
    : config(std::move(config_)), store(std::move(store_)),
      auth(config.credentials.value_or(Credential{}).username,
           config.credentials.value_or(Credential{}).password) {
    if (config.statusCredentials) {
        statusAuth.emplace(config.statusCredentials->username, config.statusCredentials->password);
    }
}

CollectionServer::~CollectionServer() {
    stop();
}

bool CollectionServer::start(std::string* whyNot) {
    const auto fail = [&](const std::string& reason) {
        if (whyNot != nullptr) {
            *whyNot = reason;
        }
        return false;
    };
    if (!config.credentials) {
        return fail("no credentials: set \"credentials\" in the configuration or "
                    "ULVAREND_SERVER_CREDENTIALS");
    }
    if (config.statusListen && !config.statusCredentials) {
        return fail("no status page credentials: set \"status_credentials\" in the "
                    "configuration or ULVAREND_SERVER_STATUS_CREDENTIALS, or status_listen = off");
    }
    if (config.tlsCertificate.empty() != config.tlsKey.empty()) {
        return fail("tls_certificate and tls_key go together");
    }
    if (config.tlsCertificate.empty()) {
        // Records and credentials must not cross a network in the clear: without TLS the
        // server is only for a reverse proxy on the same machine.
        if (!isLoopback(config.listen.host)) {
            return fail("without tls_certificate and tls_key the server listens only on a "
                        "loopback address, not " +
                        config.listen.host);
        }
        records = std::make_unique<httplib::Server>();
    } else {
        auto tls = std::make_unique<httplib::SSLServer>(config.tlsCertificate.c_str(),
                                                        config.tlsKey.c_str());
        if (!tls->is_valid()) {
            return fail("cannot use certificate " + config.tlsCertificate + " and key " +
                        config.tlsKey);
        }
        records = std::move(tls);
    }
    const std::size_t threads = config.threads;
    records->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    bound(*records, config.requestTimeoutSeconds);
    records->set_payload_max_length(config.maxBody);
    for (const auto type : {UsageType::app, UsageType::device}) {
        const std::string path(endpointPath(type));
        records->Post(path,
                      [this, type](const httplib::Request& request, httplib::Response& response) {
                          handleRecord(type, &request, &response);
                      });
        records->Get(path, refuseMethod);
        records->Put(path, refuseMethod);
        records->Patch(path, refuseMethod);
        records->Delete(path, refuseMethod);
        records->Options(path, refuseMethod);
    }
    if (!bindTo(*records, config.listen, boundPort, whyNot)) {
        return false;
    }
    if (config.statusListen) {
        status = std::make_unique<httplib::Server>();
        status->new_task_queue = [] { return new httplib::ThreadPool(4); };
        bound(*status, config.requestTimeoutSeconds);
        status->set_payload_max_length(1024);
        status->Get("/", [this](const httplib::Request& request, httplib::Response& response) {
            serveStatus(&request, &response);
        });
        if (!bindTo(*status, *config.statusListen, boundStatusPort, whyNot)) {
            return false;
        }
        statusThread = std::thread([this] {
            status->listen_after_bind();
            statusEnded = true;
        });
    }
    recordsThread = std::thread([this] {
        records->listen_after_bind();
        recordsEnded = true;
    });
    reporter = std::thread([this] { reportCounts(); });
    spdlog::info("listening for records on {}:{} ({}), status page {}", config.listen.host,
                 boundPort, config.tlsCertificate.empty() ? "plain HTTP" : "HTTPS",
                 config.statusListen
                     ? config.statusListen->host + ":" + std::to_string(boundStatusPort)
                     : std::string("off"));
    return true;
}

void CollectionServer::stop() {
    {
        std::lock_guard lock(stopMutex);
        stopping = true;
    }
    stopped.notify_all();
    const auto end = [](httplib::Server* server, std::thread& thread,
                        const std::atomic<bool>& ended) {
        if (server == nullptr || !thread.joinable()) {
            return;
        }
        // stop() is ignored until the listener runs, and it may not have got there yet.
        while (!server->is_running() && !ended) {
            std::this_thread::yield();
        }
        server->stop();
    };
    end(records.get(), recordsThread, recordsEnded);
    end(status.get(), statusThread, statusEnded);
    for (auto* thread : {&recordsThread, &statusThread, &reporter}) {
        if (thread->joinable()) {
            thread->join();
        }
    }
}

RequestCounts CollectionServer::counts() const {
    return RequestCounts{stored.load(), duplicates.load(), invalid.load(), unauthorized.load(),
                         unavailable.load()};
}

void CollectionServer::handleRecord(UsageType type, const void* requestPointer,
                                    void* responsePointer) {
    const auto& request = *static_cast<const httplib::Request*>(requestPointer);
    auto& response = *static_cast<httplib::Response*>(responsePointer);
    if (!auth.admits(request.get_header_value("Authorization"))) {
        ++unauthorized;
        response.status = 401;
        response.set_header("WWW-Authenticate", kRealm);
        return;
    }
    const auto received = std::chrono::system_clock::now();
    std::string whyNot;
    std::unique_ptr<Usage> usage;
    if (mediaType(request.get_header_value("Content-Type")) != "application/json") {
        whyNot = "Content-Type is not application/json";
    } else {
        usage = fromJson(request.body, type, &whyNot);
    }
    try {
        if (!usage) {
            // Kept before the answer: a body staff cannot see is a fault nobody can mend.
            store->quarantine(request.path, request.body, whyNot, received);
            storeWorked();
            ++invalid;
            spdlog::warn("invalid record path={} reason={:?} bytes={} (kept in quarantine)",
                         request.path, whyNot, request.body.size());
            response.status = 400;
            response.set_content(whyNot + "\n", "text/plain; charset=utf-8");
            return;
        }
        const InsertOutcome outcome = store->insert(*usage, received);
        storeWorked();
        ++(outcome == InsertOutcome::stored ? stored : duplicates);
        response.status = 200;
        response.set_content(outcome == InsertOutcome::stored ? "{\"status\":\"stored\"}"
                                                              : "{\"status\":\"duplicate\"}",
                             "application/json");
    } catch (const StoreUnavailable& error) {
        storeFailed(error);
        response.status = 503;
        response.set_header("Retry-After", "60");
    }
}

void CollectionServer::serveStatus(const void* requestPointer, void* responsePointer) {
    const auto& request = *static_cast<const httplib::Request*>(requestPointer);
    auto& response = *static_cast<httplib::Response*>(responsePointer);
    if (!statusAuth || !statusAuth->admits(request.get_header_value("Authorization"))) {
        response.status = 401;
        response.set_header("WWW-Authenticate", kRealm);
        return;
    }
    const auto now = std::chrono::system_clock::now();
    try {
        const auto households = store->households(now);
        const auto days = chartDays(now);
        const auto quarantined = store->quarantined();
        response.set_header("Cache-Control", "no-store");
        response.set_header("Content-Security-Policy",
                            "default-src 'none'; style-src 'unsafe-inline'");
        response.set_content(renderStatusPage(households, days, quarantined, counts(), now),
                             "text/html; charset=utf-8");
    } catch (const StoreUnavailable& error) {
        storeFailed(error);
        response.status = 503;
        response.set_content("The database is not available: see the server's log.\n",
                             "text/plain; charset=utf-8");
    }
}

std::vector<DayCount> CollectionServer::chartDays(TimePoint now) {
    const TimePoint today = std::chrono::floor<std::chrono::days>(now);
    const TimePoint first = today - std::chrono::days(kChartDays - 1);
    // Yesterday and today are counted on every load (a record committed just after midnight
    // may still carry yesterday's time); the days before are counted once a day.
    const TimePoint fresh = today - std::chrono::days(1);
    std::vector<DayCount> days;
    {
        // Held while counting, so that pages loaded together count the history once.
        std::lock_guard lock(chartMutex);
        if (closedFrom != first) {
            closedDays = store->recordsPerDay(first, fresh);
            closedFrom = first;
        }
        days = closedDays;
    }
    const auto recent = store->recordsPerDay(fresh, now + std::chrono::days(1));
    days.insert(days.end(), recent.begin(), recent.end());
    return days;
}

void CollectionServer::storeFailed(const StoreUnavailable& error) {
    ++unavailable;
    // One line when the database goes away and one when it is back; the counts in between.
    if (!storeFailing.exchange(true)) {
        spdlog::error("database unavailable, answering 503: {}", error.what());
    }
}

void CollectionServer::storeWorked() {
    if (storeFailing.exchange(false)) {
        spdlog::info("database available again");
    }
}

void CollectionServer::reportCounts() {
    RequestCounts last;
    std::unique_lock lock(stopMutex);
    while (!stopped.wait_for(lock, kReportEvery, [this] { return stopping; })) {
        const RequestCounts now = counts();
        if (now.stored != last.stored || now.duplicates != last.duplicates ||
            now.invalid != last.invalid || now.unauthorized != last.unauthorized ||
            now.unavailable != last.unavailable) {
            spdlog::info("last minute: stored={} duplicates={} invalid={} unauthorized={} "
                         "unavailable={}",
                         now.stored - last.stored, now.duplicates - last.duplicates,
                         now.invalid - last.invalid, now.unauthorized - last.unauthorized,
                         now.unavailable - last.unavailable);
        }
        last = now;
    }
}

} // namespace ulvarend::server
