#pragma once

#include "interfaces/LoggerProtocol.h"
#include "platform/LogOutput.h"

#include <memory>
#include <string>

namespace ulvarend {

// Kinds of line, as bits of LogSwitches::enabledLevels.
enum LogFlag : unsigned {
    logFlagError = 1U << 0,
    logFlagInfo = 1U << 2,
};
constexpr unsigned kLogLevelAll = ~0U;

// Process-wide switches of the log. The agent runs with the defaults and never changes them.
struct LogSwitches {
    unsigned enabledLevels = kLogLevelAll;
    // Info lines are queued and the caller goes on at once; error lines are always written
    // before the call returns.
    bool asynchronousInfo = true;
};

class Logger final : public LoggerProtocol {
public:
    // `output` is where the lines go: platform::makeLogOutput() in the agent.
    explicit Logger(std::shared_ptr<platform::LogOutput> output, LogSwitches switches = {});
    // Writes every line still queued.
    ~Logger() override;

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void logUsage(const Usage& usage, UsageLogType logType) override;
    void logInfo(const std::string& message) override;
    void logError(const std::string& message) override;

    // Returns once every line handed over so far has been written.
    void flush();

    // The text logUsage hands to logInfo.
    static std::string usageLine(const Usage& usage, UsageLogType logType);

private:
    std::shared_ptr<platform::LogOutput> output;
    LogSwitches switches;
};

} // namespace ulvarend
