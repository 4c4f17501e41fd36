#include "platform/Process.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <syslog.h>
#include <unistd.h>
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

void skipUnusedLibrarySetUp(char** argv) {
    constexpr const char* variable = "GNUTLS_NO_IMPLICIT_INIT";
    // Says, to the second image only, that the variable is the agent's own.
    constexpr const char* ours = "ULVAREND_SET_GNUTLS_NO_IMPLICIT_INIT";
    if (std::getenv(ours) != nullptr) {
        unsetenv(ours);
        unsetenv(variable);
        return;
    }
    if (std::getenv(variable) != nullptr) {
        return;
    }
    // By its path, not /proc/self/exe, so that the process keeps its name; a program replaced
    // on disk since it started ("... (deleted)") is not run again.
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path - 1) {
        return;
    }
    path[length] = '\0';
    if (std::string_view(path).ends_with(" (deleted)")) {
        return;
    }
    setenv(variable, "1", 1);
    setenv(ours, "1", 1);
    execv(path, argv);
    unsetenv(ours);
    unsetenv(variable);
}

} // namespace ulvarend::platform
