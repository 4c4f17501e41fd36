#pragma once

#include "server/BasicAuth.h"
#include "server/RecordStore.h"
#include "server/ServerConfig.h"
#include "server/StatusPage.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace ulvarend::server {

// The study's collection server: the two record paths (HTTPS, or plain HTTP on a loopback
// address) and the read-only status page on a listener of its own.
// Threads: start() and stop() from one controlling thread; requests are served by the
// listeners' thread pools, which share only the store and atomic counters.
// Errors: start() answers false and says why when a listener cannot be made; request failures
// become status codes and log lines.
class CollectionServer {
public:
    CollectionServer(ServerConfig config, std::shared_ptr<RecordStore> store);
    ~CollectionServer();

    CollectionServer(const CollectionServer&) = delete;
    CollectionServer& operator=(const CollectionServer&) = delete;

    bool start(std::string* whyNot);
    // Ends the listeners after the requests in progress and joins their threads.
    void stop();

    int port() const { return boundPort; }
    int statusPort() const { return boundStatusPort; }
    RequestCounts counts() const;

private:
    void handleRecord(UsageType type, const void* request, void* response);
    void serveStatus(const void* request, void* response);
    // Records per day for the chart. Past days do not change, so they are kept between loads:
    // a cache that any process can make again, not state another process needs.
    std::vector<DayCount> chartDays(TimePoint now);
    void storeFailed(const StoreUnavailable& error);
    void storeWorked();
    void reportCounts();

    const ServerConfig config;
    const std::shared_ptr<RecordStore> store;
    const BasicAuth auth;
    std::optional<BasicAuth> statusAuth;
    std::unique_ptr<httplib::Server> records;
    std::unique_ptr<httplib::Server> status;
    std::thread recordsThread;
    std::thread statusThread;
    std::thread reporter;
    std::atomic<bool> recordsEnded{false};
    std::atomic<bool> statusEnded{false};
    int boundPort = -1;
    int boundStatusPort = -1;

    std::atomic<std::uint64_t> stored{0};
    std::atomic<std::uint64_t> duplicates{0};
    std::atomic<std::uint64_t> invalid{0};
    std::atomic<std::uint64_t> unauthorized{0};
    std::atomic<std::uint64_t> unavailable{0};
    std::atomic<bool> storeFailing{false};

    std::mutex chartMutex;
    TimePoint closedFrom;
    std::vector<DayCount> closedDays;

    std::mutex stopMutex;
    std::condition_variable stopped;
    bool stopping = false;
};

} // namespace ulvarend::server
