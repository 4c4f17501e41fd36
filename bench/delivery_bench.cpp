// Records per second through sendOrSave to the loopback collector, and the time from the call
// to the collector's receipt (p50, p99). Usage: delivery_bench [records] [interval-ms]

#include "Implementations/RequestHandler.h"
#include "Implementations/SendOrSaveHandler.h"
#include "support/TestCertificates.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace ulvarend;
using Clock = std::chrono::steady_clock;

namespace {

class QuietLogger : public LoggerProtocol {
public:
    void logUsage(const Usage&, UsageLogType type) override {
        if (type != UsageLogType::sentDirectly) {
            ++problems;
        }
    }
    void logInfo(const std::string&) override {}
    void logError(const std::string& message) override {
        std::fprintf(stderr, "%s\n", message.c_str());
        ++problems;
    }
    std::atomic<int> problems{0};
};

class NoStore : public PersistenceHandlerProtocol {
public:
    bool save(const Usage&) override { return false; }
    void deleteUsage(const Usage&) override {}
    std::vector<std::shared_ptr<DeviceUsage>> fetchDeviceUsages(std::int64_t) override {
        return {};
    }
    std::vector<std::shared_ptr<AppUsage>> fetchAllAppUsages(std::int64_t) override { return {}; }
};

class FixedSettings : public SettingsProtocol {
public:
    bool appHasBeenSetup() override { return true; }
    void setAppHasBeenSetup(bool) override {}
    void addAppHasBeenSetupChangedSubscriber(std::shared_ptr<AppHasBeenSetupDelegate>) override {}
    std::vector<std::string> userList() override { return {}; }
    void setUserList(const std::vector<std::string>&) override {}
    std::int64_t userCount() override { return 1; }
    std::string currentUser() override { return "bench"; }
    void setCurrentUser(const std::string&) override {}
    std::string deviceModelName() override { return "Bench"; }
    TrackingType trackingType() override { return TrackingType::AppAndDevice; }
    void setTrackingType(TrackingType) override {}
    TimePoint stopTrackingDate() override { return {}; }
    void setStopTrackingDate(TimePoint) override {}
    void setUserId(const std::string&) override {}
    std::string participantIdentifier() override { return "bench"; }
    std::string participantIdentifier(const std::string&) override { return "bench"; }
    Credentials credentials() override { return {"morvik", "Hq3ZpT8wLm4RvK9sXc2NbJ7dYe5GfU"}; }
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

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
            latenciesMs.push_back(
                std::chrono::duration<double, std::milli>(now - calls.at(id)).count());
        }
        std::fclose(lines);
    });

    setenv("ULVAREND_CA_FILE", certificates.caFile().c_str(), 1);
    auto logger = std::make_shared<QuietLogger>();
    auto handler = std::make_shared<SendOrSaveHandler>(
        logger, std::make_shared<NoStore>(),
        std::make_shared<RequestHandler>(logger, platform::makeHttpClient(), "127.0.0.1:" + port),
        std::make_shared<FixedSettings>());

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
    return received == static_cast<std::size_t>(records) ? 0 : 1;
}
