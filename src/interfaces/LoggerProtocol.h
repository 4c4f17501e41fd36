#pragma once

#include "models/Enums.h"
#include "models/Usage.h"

#include <string>

namespace ulvarend {

class LoggerProtocol {
public:
    virtual ~LoggerProtocol() = default;
    virtual void logUsage(const Usage& usage, UsageLogType logType) = 0;
    virtual void logInfo(const std::string& message) = 0;
    virtual void logError(const std::string& message) = 0;
    // Returns once every line handed over so far has been written; on the way out.
    virtual void flush() = 0;
};

} // namespace ulvarend
