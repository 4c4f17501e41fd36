#include "Implementations/Logger.h"

#include <gtest/gtest.h>
#include <mutex>
#include <vector>

namespace ulvarend {
namespace {

using namespace std::chrono_literals;

class RecordingOutput : public platform::LogOutput {
public:
    struct Line {
        platform::LogLevel level;
        std::string text;
        platform::LogDelivery delivery;
        bool operator==(const Line&) const = default;
    };
    void write(platform::LogLevel level, std::string_view line,
               platform::LogDelivery delivery) override {
        std::lock_guard lock(mutex);
        lines.push_back({level, std::string(line), delivery});
    }
    void flush() override {}
    std::mutex mutex;
    std::vector<Line> lines;
};

using Info = platform::LogLevel;
constexpr auto kQueued = platform::LogDelivery::queued;
constexpr auto kWaited = platform::LogDelivery::waitUntilWritten;

TEST(Logger, InfoIsQueuedAndErrorWaitsWithTheirPrefixes) {
    auto output = std::make_shared<RecordingOutput>();
    Logger logger(output);
    logger.logInfo("");
    logger.logInfo("App has not been setup.");
    logger.logError("{} not a format");
    EXPECT_EQ(output->lines, (std::vector<RecordingOutput::Line>{
                                 {Info::info, "[INFO] ", kQueued},
                                 {Info::info, "[INFO] App has not been setup.", kQueued},
                                 {Info::error, "[ERROR] {} not a format", kWaited},
                             }));
}

TEST(Logger, UsageLinesNameOutcomeAndRecord) {
    const TimePoint at{1'600'000'000s};
    const AppUsage app("P-1", "model", at, 2, "org.example.Editor", 5230);
    const DeviceUsage started("P-1", "model", at, 2, 1);
    const DeviceUsage ended("P-1", "model", at, 2, 0);
    const Usage other("P-1", "model", at, 2);

    auto output = std::make_shared<RecordingOutput>();
    Logger logger(output);
    logger.logUsage(app, UsageLogType::sentDirectly);
    logger.logUsage(started, UsageLogType::sentFromPersistence);
    logger.logUsage(ended, UsageLogType::saved);
    logger.logUsage(other, UsageLogType::saved);
    ASSERT_EQ(output->lines.size(), 4U);
    EXPECT_EQ(output->lines[0].text,
              "[INFO] Sent directly: [APP] - P-1 - org.example.Editor - 5230 ms");
    EXPECT_EQ(output->lines[1].text, "[INFO] Sent from storage: [DEVICE] - P-1 - Started");
    EXPECT_EQ(output->lines[2].text, "[INFO] Saved: [DEVICE] - P-1 - Ended");
    EXPECT_EQ(output->lines[3].text, "[INFO] Saved: ");
}

} // namespace
} // namespace ulvarend
