#include "platform/Process.h"

#include <cstdio>
#include <cstdlib>
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

void fatalError(std::string_view message) {
    std::fprintf(stderr, "Fatal error: %.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    std::abort();
}

} // namespace ulvarend::platform
