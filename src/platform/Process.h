#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace ulvarend::platform {

// Ending the process, behind an interface so that tests can watch the exit status. Callers
// return right after `exit`, so a stand-in that only records the status leaves them in order.
class Process {
public:
    virtual ~Process() = default;
    virtual void exit(int status) = 0;
};

// `beforeExit` runs once, before the first exit, to bring the process's threads and files to
// rest; the process then ends at once, without static destructors, which background threads
// could otherwise meet half torn down.
std::shared_ptr<Process> makeSystemProcess(std::function<void()> beforeExit = {});

// A state that must not occur: writes "Fatal error: " and the message to the log set by
// setFatalErrorLog (else to the system log) and to standard error, and aborts. Nobody sees
// standard error at a desktop login, so the log is where support finds why the agent stopped.
[[noreturn]] void fatalError(std::string_view message);

// Where fatalError writes its line before the process ends; `log` must return only once the
// line is written. Set once the agent's log exists; a fatal error met while writing there goes
// to the system log instead.
void setFatalErrorLog(std::function<void(const std::string&)> log);

} // namespace ulvarend::platform
