#pragma once

#include <functional>
#include <memory>
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

// A state that must not occur: writes the message to standard error and aborts.
[[noreturn]] void fatalError(std::string_view message);

} // namespace ulvarend::platform
