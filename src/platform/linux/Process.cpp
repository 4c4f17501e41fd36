#include "platform/Process.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <syslog.h>
#include <utility>

namespace ulvarend::platform {
namespace {

class SystemProcess final : public Process {
public:
    explicit SystemProcess(std::function<void()> beforeExit) : beforeExit(std::move(beforeExit)) {}

    void exit(int status) override {
        if (auto prepare = std::exchange(beforeExit, nullptr)) {
            prepare();
        }
        std::fflush(nullptr);
        std::_Exit(status);
    }

private:
    std::function<void()> beforeExit;
};

} // namespace

std::shared_ptr<Process> makeSystemProcess(std::function<void()> beforeExit) {
    return std::make_shared<SystemProcess>(std::move(beforeExit));
}

namespace {

std::mutex fatalLogMutex;
std::function<void(const std::string&)> fatalLog;
// Set by the first fatal error; one met on the way out (in the log itself) goes around it.
std::atomic<bool> fatalErrorMet{false};

} // namespace

void setFatalErrorLog(std::function<void(const std::string&)> log) {
    std::lock_guard lock(fatalLogMutex);
    fatalLog = std::move(log);
}

void fatalError(std::string_view message) {
    const std::string line = "Fatal error: " + std::string(message);
    std::function<void(const std::string&)> log;
    if (!fatalErrorMet.exchange(true)) {
        std::lock_guard lock(fatalLogMutex);
        log = fatalLog;
    }
    if (log) {
        log(line);
    } else {
        ::syslog(LOG_CRIT, "%s", line.c_str());
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace ulvarend::platform
