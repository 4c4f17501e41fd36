#include "Implementations/Logger.h"

#include <utility>

namespace ulvarend {

Logger::Logger(std::shared_ptr<platform::LogOutput> output_) : output(std::move(output_)) {}

Logger::~Logger() {
    flush();
}

void Logger::flush() {
    output->flush();
}

std::string Logger::usageLine(const Usage& usage, UsageLogType logType) {
    std::string line;
    switch (logType) {
    case UsageLogType::sentDirectly:
        line = "Sent directly: ";
        break;
    case UsageLogType::sentFromPersistence:
        line = "Sent from storage: ";
        break;
    case UsageLogType::saved:
        line = "Saved: ";
        break;
    }
    if (const auto* app = dynamic_cast<const AppUsage*>(&usage)) {
        line += "[APP] - " + app->participantIdentifier + " - " + app->package + " - " +
                std::to_string(app->duration) + " ms";
    } else if (const auto* device = dynamic_cast<const DeviceUsage*>(&usage)) {
        line += "[DEVICE] - " + device->participantIdentifier + " - " +
                (device->eventType == eventTypeValue(EventType::started) ? "Started" : "Ended");
    }
    return line;
}

void Logger::logUsage(const Usage& usage, UsageLogType logType) {
    logInfo(usageLine(usage, logType));
}

void Logger::logInfo(const std::string& message) {
    output->write(platform::LogLevel::info, "[INFO] " + message, platform::LogDelivery::queued);
}

void Logger::logError(const std::string& message) {
    output->write(platform::LogLevel::error, "[ERROR] " + message,
                  platform::LogDelivery::waitUntilWritten);
}

} // namespace ulvarend
