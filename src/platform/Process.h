#pragma once

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

std::shared_ptr<Process> makeSystemProcess();

// A state that must not occur: writes the message to standard error and aborts.
[[noreturn]] void fatalError(std::string_view message);

} // namespace ulvarend::platform
