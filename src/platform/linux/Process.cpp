#include "platform/Process.h"

#include <cstdio>
#include <cstdlib>

namespace ulvarend::platform {
namespace {

class SystemProcess final : public Process {
public:
    void exit(int status) override {
        std::fflush(nullptr);
        std::exit(status);
    }
};

} // namespace

std::shared_ptr<Process> makeSystemProcess() {
    return std::make_shared<SystemProcess>();
}

void fatalError(std::string_view message) {
    std::fprintf(stderr, "Fatal error: %.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    std::abort();
}

} // namespace ulvarend::platform
