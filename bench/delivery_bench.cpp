// Records per second through sendOrSave to the loopback collector, and the time from the call
// to the collector's receipt (p50, p99). Usage: delivery_bench [records] [interval-ms]

#include "BenchSupport.h"
#include "Implementations/RequestHandler.h"
#include "Implementations/SendOrSaveHandler.h"
#include "support/TestCertificates.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <curl/curl.h>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace ulvarend;
using bench::percentile;
using Clock = std::chrono::steady_clock;

namespace {

class NoStore : public PersistenceHandlerProtocol {
public:
    bool save(const Usage&) override { return false; }
    void deleteUsage(const Usage&) override {}
    std::vector<std::shared_ptr<DeviceUsage>> fetchDeviceUsages(std::int64_t) override {
        return {};
    }
    std::vector<std::shared_ptr<AppUsage>> fetchAllAppUsages(std::int64_t) override { return {}; }
    std::vector<UsagePtr> takeUnstoredUsages() override { return {}; }
};

} // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int intervalMs = argc > 2 ? std::atoi(argv[2]) : 0;
    testing::TestCertificates certificates;
    const std::string portFile = (certificates.directory / "port").string();

    int output[2];
    if (pipe(output) != 0) {
        return 1;
    }
    const pid_t collector = fork();
    if (collector == 0) {
        dup2(output[1], STDOUT_FILENO);
        close(output[0]);
        close(output[1]);
        execl(ULVAREND_COLLECTOR, ULVAREND_COLLECTOR, "--port", "0", "--port-file",
              portFile.c_str(), "--cert", certificates.serverCertFile().c_str(), "--key",
              certificates.serverKeyFile().c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(output[1]);
    std::string port;
    for (int i = 0; i < 100 && port.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (FILE* file = std::fopen(portFile.c_str(), "r")) {
            char text[16] = {};
            if (std::fgets(text, sizeof text, file) != nullptr) {
                port = std::string(text, std::strcspn(text, "\n"));
            }
            std::fclose(file);
        }
    }
    if (port.empty()) {
        std::fprintf(stderr, "the collector did not start\n");
        return 1;
    }

    std::mutex mutex;
    std::map<std::string, Clock::time_point> calls;
    std::vector<double> latenciesMs;
    std::thread reader([&] {
        FILE* lines = fdopen(output[0], "r");
        char line[4096];
        while (std::fgets(line, sizeof line, lines) != nullptr) {
            const auto now = Clock::now();
            const auto record = nlohmann::json::parse(line, nullptr, false);
            if (record.is_discarded()) {
                continue;
            }
            const std::string id = record["body"]["package"];
            std::lock_guard lock(mutex);
            const auto call = calls.find(id);
            if (call != calls.end()) {
                latenciesMs.push_back(
                    std::chrono::duration<double, std::milli>(now - call->second).count());
            }
        }
        std::fclose(lines);
    });

    setenv("ULVAREND_CA_FILE", certificates.caFile().c_str(), 1);
    auto logger = std::make_shared<bench::QuietLogger>();
    auto handler = std::make_shared<SendOrSaveHandler>(
        logger, std::make_shared<NoStore>(),
        std::make_shared<RequestHandler>(logger, platform::makeCurlHttpClient(),
                                         "127.0.0.1:" + port),
        std::make_shared<bench::FixedSettings>());

    const auto started = Clock::now();
    // At most a send batch's worth (20) in flight, as the agent has it.
    for (int i = 0; i < records; ++i) {
        for (;;) {
            std::lock_guard lock(mutex);
            if (static_cast<int>(latenciesMs.size()) + 20 > i) {
                break;
            }
        }
        const std::string id = "bench." + std::to_string(i);
        {
            std::lock_guard lock(mutex);
            calls[id] = Clock::now();
        }
        handler->sendOrSave(std::make_shared<AppUsage>("bench", "Bench",
                                                       std::chrono::system_clock::now(), 1, id, 5),
                            false);
        if (intervalMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
        }
    }
    std::size_t received = 0;
    while (Clock::now() - started < std::chrono::seconds(120)) {
        {
            std::lock_guard lock(mutex);
            received = latenciesMs.size();
        }
        if (received >= static_cast<std::size_t>(records)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    handler.reset();

    // The floor: the same requests made with libcurl alone, on one kept-alive connection.
    std::vector<double> baselineMs;
    const auto baselineStarted = Clock::now();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = curl_easy_init();
    const std::string url = "https://127.0.0.1:" + port + "/v1/app_usages";
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, certificates.caFile().c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_USERPWD, "morvik:Hq3ZpT8wLm4RvK9sXc2NbJ7dYe5GfU");
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION,
        +[](char*, size_t size, size_t count, void*) { return size * count; });
    int baselineFailures = 0;
    // CPU of this process only: the collector runs in its own. The first request, which makes
    // the connection, is left out: the agent's records reuse one too.
    const auto cpuNow = [] {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
    };
    double cpuAfterFirstUs = 0;
    for (int i = 0; i < records; ++i) {
        if (i == 1) {
            cpuAfterFirstUs = cpuNow();
        }
        const std::string body = toJson(AppUsage("bench", "Bench", std::chrono::system_clock::now(),
                                                 1, "curl." + std::to_string(i), 5));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        const auto began = Clock::now();
        long status = 0;
        if (curl_easy_perform(curl) != CURLE_OK ||
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) {
            ++baselineFailures;
        }
        baselineMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - began).count());
    }
    const double baselineSeconds =
        std::chrono::duration<double>(Clock::now() - baselineStarted).count();
    const double cpuPerRequestUs = (cpuNow() - cpuAfterFirstUs) / std::max(1, records - 1);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    curl_global_cleanup();
    kill(collector, SIGTERM);
    waitpid(collector, nullptr, 0);
    reader.join();

    std::printf("records: %zu of %d received, problems: %d\n", received, records,
                logger->problems.load());
    std::printf("throughput: %.0f records/s\n", static_cast<double>(received) / seconds);
    if (!latenciesMs.empty()) {
        std::printf("call to receipt: p50 %.2f ms, p99 %.2f ms\n", percentile(latenciesMs, 0.5),
                    percentile(latenciesMs, 0.99));
    }
    std::printf("baseline throughput: %.0f requests/s (libcurl, one at a time), failures: %d\n",
                static_cast<double>(records) / baselineSeconds, baselineFailures);
    std::printf("baseline request: p50 %.2f ms, p99 %.2f ms\n", percentile(baselineMs, 0.5),
                percentile(baselineMs, 0.99));
    std::printf("baseline request cpu: %.1f us\n", cpuPerRequestUs);
    return received == static_cast<std::size_t>(records) && baselineFailures == 0 ? 0 : 1;
}
