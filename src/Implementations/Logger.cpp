#include "Implementations/Logger.h"

#include <utility>

namespace ulvarend {

Logger::Logger(std::shared_ptr<platform::LogOutput> output_, LogSwitches switches_)
    : output(std::move(output_)), switches(switches_) {}

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
    if ((switches.enabledLevels & logFlagInfo) == 0) {
        return;
    }
    output->write(platform::LogLevel::info, "[INFO] " + message,
                  switches.asynchronousInfo ? platform::LogDelivery::queued
                                            : platform::LogDelivery::waitUntilWritten);
}

void Logger::logError(const std::string& message) {
    if ((switches.enabledLevels & logFlagError) == 0) {
        return;
    }
    output->write(platform::LogLevel::error, "[ERROR] " + message,
                  platform::LogDelivery::waitUntilWritten);
}

} // namespace ulvarend
