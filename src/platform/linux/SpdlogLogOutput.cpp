#include "models/Time.h"
#include "platform/LogOutput.h"
#include "platform/Paths.h"
#include "platform/Text.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/syslog_sink.h>
#include <sys/stat.h>
#include <syslog.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ulvarend::platform {
namespace {

using SystemTime = std::chrono::system_clock::time_point;

constexpr std::string_view kFilePrefix = "ulvarend-";
constexpr std::string_view kFileSuffix = ".log";
constexpr std::size_t kStampLength = 16; // 20261208T103000Z
// Local time to the millisecond, then the message as given.
constexpr const char* kFilePattern = "%Y-%m-%d %H:%M:%S.%e %z %v";
constexpr std::chrono::minutes kAheadAfterFilling{1};

// The code point of a valid UTF-8 sequence of two to four bytes.
char32_t codePointOf(std::string_view sequence) {
    const auto lead = static_cast<unsigned char>(sequence[0]);
    char32_t point = sequence.size() == 2   ? lead & 0x1fu
                     : sequence.size() == 3 ? lead & 0x0fu
                                            : lead & 0x07u;
    for (std::size_t i = 1; i < sequence.size(); ++i) {
        point = (point << 6) | (static_cast<unsigned char>(sequence[i]) & 0x3fu);
    }
    return point;
}

// Characters that change how the text around them is shown without being seen themselves: the
// C1 controls, the marks, embeddings, overrides and isolates of bidirectional text, the
// zero-width characters, and the line and paragraph separators.
bool hiddenInDisplay(char32_t point) {
    return (point >= 0x80 && point <= 0x9f) || point == 0x061c || point == 0x180e ||
           (point >= 0x200b && point <= 0x200f) || (point >= 0x2028 && point <= 0x202e) ||
           (point >= 0x2060 && point <= 0x2069) || point == 0xfeff;
}

// Lines carry text from outside the agent (application ids, names from links): a line break,
// a terminal control or a right-to-left override in one would forge, hide or reverse lines of
// the log. Control characters, characters that are not seen but change the display, and bytes
// that are not UTF-8 are written as \xNN, byte by byte, so that one line handed over stays one
// line and reads in the order it was written.
std::string escapedForLog(std::string_view line) {
    const auto isControl = [](unsigned char c) { return c < 0x20 || c == 0x7f; };
    if (std::none_of(line.begin(), line.end(), [&](char c) {
            return isControl(static_cast<unsigned char>(c)) ||
                   static_cast<unsigned char>(c) >= 0x80;
        })) {
        return std::string(line);
    }
    std::string escaped;
    const auto escape = [&](unsigned char c) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        escaped += hex;
    };
    for (std::size_t at = 0; at < line.size();) {
        const auto lead = static_cast<unsigned char>(line[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
        if (length == 1) {
            if (isControl(lead)) {
                escape(lead);
            } else {
                escaped += static_cast<char>(lead);
            }
            ++at;
        } else if (at + length <= line.size() && isValidUtf8(line.substr(at, length))) {
            const auto sequence = line.substr(at, length);
            if (hiddenInDisplay(codePointOf(sequence))) {
                for (const char c : sequence) {
                    escape(static_cast<unsigned char>(c));
                }
            } else {
                escaped.append(sequence);
            }
            at += length;
        } else {
            escape(lead);
            ++at;
        }
    }
    return escaped;
}

std::optional<SystemTime> startOfLogFile(const std::string& name) {
    if (name.size() != kFilePrefix.size() + kStampLength + kFileSuffix.size() ||
        !name.starts_with(kFilePrefix) || !name.ends_with(kFileSuffix)) {
        return std::nullopt;
    }
    return parseUtc(std::string_view(name).substr(kFilePrefix.size(), kStampLength),
                    UtcForm::compact);
}

// Files of ours in `directory`, newest first. The start time is in the name, so the age of
// the current file survives restarts and does not depend on file system times.
std::vector<std::pair<SystemTime, std::filesystem::path>>
logFilesNewestFirst(const std::filesystem::path& directory) {
    std::vector<std::pair<SystemTime, std::filesystem::path>> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        if (const auto start = startOfLogFile(entry.path().filename().string())) {
            files.emplace_back(*start, entry.path());
        }
    }
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    return files;
}

// Writes lines to a file that is replaced by a new one once it reaches its maximum age; the
// oldest files beyond the maximum number are deleted. Ages are measured by the lines' own time
// stamps, so a line queued before the roll lands in the file it belongs to. Never throws: a
// file that cannot be written loses its lines, not the agent.
class AgeRollingFileSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    AgeRollingFileSink(std::filesystem::path directory_, LogFileRolling rolling_, SystemTime now)
        : directory(std::move(directory_)), rolling(rolling_) {
        const auto files = logFilesNewestFirst(directory);
        if (!files.empty() && !isTooOld(files.front().first, now)) {
            open(files.front().first);
        } else {
            startNewFile(now);
        }
    }

    ~AgeRollingFileSink() override {
        if (file != nullptr) {
            std::fclose(file);
        }
    }

    AgeRollingFileSink(const AgeRollingFileSink&) = delete;
    AgeRollingFileSink& operator=(const AgeRollingFileSink&) = delete;

protected:
    void sink_it_(const spdlog::details::log_msg& message) override {
        if (file == nullptr || isTooOld(start, message.time)) {
            startNewFile(message.time);
        }
        spdlog::memory_buf_t formatted;
        formatter_->format(message, formatted);
        if (file != nullptr && size > 0 && size + formatted.size() > rolling.maximumBytes) {
            // Files are named by the second they start in; one that fills within its second
            // is followed by the next second's.
            startNewFile(
                std::max<SystemTime>(std::chrono::floor<std::chrono::seconds>(message.time),
                                     start + std::chrono::seconds{1}));
        }
        if (file == nullptr) {
            return;
        }
        std::fwrite(formatted.data(), 1, formatted.size(), file);
        size += formatted.size();
        // Lines are few; writing each through keeps the file whole if the agent is killed.
        std::fflush(file);
    }

    void flush_() override {
        if (file != nullptr) {
            std::fflush(file);
        }
    }

private:
    bool isTooOld(SystemTime fileStart, SystemTime now) const {
        // A start in the future means the clock was set back: start afresh rather than
        // keep one file for as long as the clock was off.
        // Files that filled up within their second may start a little ahead of the clock.
        return now + kAheadAfterFilling < fileStart || now - fileStart >= rolling.maximumAge;
    }

    void startNewFile(SystemTime now) {
        open(std::chrono::floor<std::chrono::seconds>(now));
        deleteOldFiles();
    }

    void open(SystemTime fileStart) {
        if (file != nullptr) {
            std::fclose(file);
            file = nullptr;
        }
        start = fileStart;
        const auto path = directory / logFileName(fileStart);
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            return;
        }
        struct stat info {};
        size = ::fstat(fd, &info) == 0 ? static_cast<std::uintmax_t>(info.st_size) : 0;
        file = ::fdopen(fd, "a");
        if (file == nullptr) {
            ::close(fd);
        }
    }

    void deleteOldFiles() {
        const auto files = logFilesNewestFirst(directory);
        for (std::size_t i = rolling.maximumFiles; i < files.size(); ++i) {
            std::error_code ignored;
            std::filesystem::remove(files[i].second, ignored);
        }
    }

    std::filesystem::path directory;
    LogFileRolling rolling;
    SystemTime start{};
    std::FILE* file = nullptr;
    std::uintmax_t size = 0;
};

// Every line goes through one queue and one worker thread of our own, so lines keep their
// order; a caller that must not return before its line is written waits until the worker has
// passed it. spdlog's own pool would do the same, but its worker wakes every ten seconds to no
// purpose, and the agent runs all day on laptops.
class SpdlogLogOutput final : public LogOutput {
public:
    SpdlogLogOutput(std::vector<spdlog::sink_ptr> sinks_, Clock clock_)
        : sinks(std::move(sinks_)), clock(std::move(clock_)),
          logger(std::make_shared<spdlog::logger>("ulvarend", sinks.begin(), sinks.end())) {
        logger->set_level(spdlog::level::trace);
        logger->flush_on(spdlog::level::off);
        worker = std::thread([this] { writeQueuedLines(); });
    }

    ~SpdlogLogOutput() override {
        flush();
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        worker.join();
    }

    SpdlogLogOutput(const SpdlogLogOutput&) = delete;
    SpdlogLogOutput& operator=(const SpdlogLogOutput&) = delete;

    void write(LogLevel level, std::string_view line, LogDelivery delivery) override {
        std::uint64_t mine = 0;
        {
            std::unique_lock lock(mutex);
            // A writer finding the queue full waits: nothing is lost.
            changed.wait(lock, [&] { return queue.size() < kQueueLength; });
            // Stamped now, when handed over, not when the worker gets to it.
            queue.push_back({clock(),
                             level == LogLevel::error ? spdlog::level::err : spdlog::level::info,
                             escapedForLog(line)});
            mine = ++submitted;
        }
        changed.notify_all();
        if (delivery == LogDelivery::waitUntilWritten) {
            waitFor(mine);
            flushSinks();
        }
    }

    void flush() override {
        std::uint64_t last = 0;
        {
            std::lock_guard lock(mutex);
            last = submitted;
        }
        waitFor(last);
        flushSinks();
    }

private:
    struct Line {
        SystemTime time;
        spdlog::level::level_enum level;
        std::string text;
    };

    // Lines come a few a minute; the bound only keeps a runaway writer from eating memory.
    static constexpr std::size_t kQueueLength = 256;

    void writeQueuedLines() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return !queue.empty() || stopping; });
            if (queue.empty()) {
                return;
            }
            Line line = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            changed.notify_all();
            logger->log(line.time, spdlog::source_loc{}, line.level,
                        spdlog::string_view_t(line.text.data(), line.text.size()));
            lock.lock();
            ++written;
            changed.notify_all();
        }
    }

    void waitFor(std::uint64_t count) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return written >= count; });
    }

    void flushSinks() {
        for (const auto& sink : sinks) {
            try {
                sink->flush();
            } catch (const std::exception&) {
                // Logging never fails its caller.
            }
        }
    }

    const std::vector<spdlog::sink_ptr> sinks;
    const Clock clock;
    const std::shared_ptr<spdlog::logger> logger;
    std::mutex mutex;
    // Tells of a line queued, a line taken (room in the queue), a line written, or the stop.
    std::condition_variable changed;
    std::deque<Line> queue;
    std::uint64_t submitted = 0;
    std::uint64_t written = 0;
    bool stopping = false;
    std::thread worker;
};

spdlog::sink_ptr makeFileSink(const std::filesystem::path& directory, LogFileRolling rolling,
                              SystemTime now) {
    ensureDirectory(directory, 0700);
    auto sink = std::make_shared<AgeRollingFileSink>(directory, rolling, now);
    sink->set_pattern(kFilePattern);
    return sink;
}

} // namespace

std::string logFileName(SystemTime start) {
    return std::string(kFilePrefix) + formatUtc(start, UtcForm::compact) + std::string(kFileSuffix);
}

std::shared_ptr<LogOutput> makeLogOutput() {
    std::vector<spdlog::sink_ptr> sinks;
    // The system log stamps lines itself.
    sinks.push_back(
        std::make_shared<spdlog::sinks::syslog_sink_mt>("ulvarend", LOG_PID, LOG_USER, false));
    try {
        ensureDirectory(stateHome() / "ulvarend", 0700);
        sinks.push_back(
            makeFileSink(stateHome() / "ulvarend" / "logs", {}, std::chrono::system_clock::now()));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ulvarend: no log files: %s\n", error.what());
    }
    return std::make_shared<SpdlogLogOutput>(std::move(sinks), std::chrono::system_clock::now);
}

std::shared_ptr<LogOutput> makeFileLogOutput(const std::filesystem::path& directory,
                                             LogFileRolling rolling, Clock clock) {
    auto sink = makeFileSink(directory, rolling, clock());
    return std::make_shared<SpdlogLogOutput>(std::vector<spdlog::sink_ptr>{std::move(sink)},
                                             std::move(clock));
}

} // namespace ulvarend::platform
