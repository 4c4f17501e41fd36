#pragma once

#include "interfaces/LoggerProtocol.h"
#include "platform/LogOutput.h"

#include <memory>
#include <string>

namespace ulvarend {

class Logger final : public LoggerProtocol {
public:
    // `output` is where the lines go: platform::makeLogOutput() in the agent. Info lines are
    // queued and the caller goes on at once; error lines are written before the call returns.
    explicit Logger(std::shared_ptr<platform::LogOutput> output);
    // Writes every line still queued.
    ~Logger() override;

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void logUsage(const Usage& usage, UsageLogType logType) override;
    void logInfo(const std::string& message) override;
    void logError(const std::string& message) override;
    void flush() override;

    // The text logUsage hands to logInfo.
    static std::string usageLine(const Usage& usage, UsageLogType logType);

private:
    std::shared_ptr<platform::LogOutput> output;
};

} // namespace ulvarend
