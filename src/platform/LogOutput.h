#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace ulvarend::platform {

enum class LogLevel { info, error };

// Whether a writer goes on at once or waits until its line is on disk.
enum class LogDelivery { queued, waitUntilWritten };

// Where the agent's log lines end up. Lines are written in the order they were handed over,
// whichever thread hands them over; each line gets a time stamp when it is handed over.
class LogOutput {
public:
    virtual ~LogOutput() = default;
    // A queued line returns at once; waitUntilWritten returns only once every sink has written
    // it (and every line queued before it).
    virtual void write(LogLevel level, std::string_view line, LogDelivery delivery) = 0;
    // Returns once every line handed over so far has been written and flushed.
    virtual void flush() = 0;
};

using Clock = std::function<std::chrono::system_clock::time_point()>;

struct LogFileRolling {
    // A new file is started once the current one is this old.
    std::chrono::seconds maximumAge{604800};
    // Older files beyond this number, the current one included, are deleted.
    std::size_t maximumFiles = 7;
    // A new file is also started once the current one has grown this large, so that a flood
    // of lines cannot fill the disk.
    std::uintmax_t maximumBytes = 10 * 1024 * 1024;
};

// The system log (syslog) and rolling files in $XDG_STATE_HOME/ulvarend/logs/. When the log
// folder cannot be made the lines still go to the system log.
std::shared_ptr<LogOutput> makeLogOutput();

// Only the rolling files, in `directory` (created 0700 if missing). Lines are stamped, and
// files aged, by `clock`.
std::shared_ptr<LogOutput> makeFileLogOutput(const std::filesystem::path& directory,
                                             LogFileRolling rolling = {},
                                             Clock clock = std::chrono::system_clock::now);

// The name a log file started at `start` gets, e.g. ulvarend-20261208T103000Z.log.
std::string logFileName(std::chrono::system_clock::time_point start);

} // namespace ulvarend::platform
