#include "platform/ScreenSources.h"

#include <vector>

namespace ulvarend::platform {
namespace {

class AllScreenSources final : public ScreenSources {
public:
    explicit AllScreenSources(std::vector<std::unique_ptr<ScreenSources>> sources)
        : sources(std::move(sources)) {}

private:
    std::vector<std::unique_ptr<ScreenSources>> sources;
};

} // namespace

std::unique_ptr<ScreenSources> startScreenSources(std::shared_ptr<ScreenState> state,
                                                  ErrorReporter onError,
                                                  std::function<void()> onSessionEnding) {
    std::vector<std::unique_ptr<ScreenSources>> sources;
    sources.push_back(startDBusScreenSources(state, onError, std::move(onSessionEnding)));
    sources.push_back(startXScreenSaverSource(std::move(state), std::move(onError)));
    return std::make_unique<AllScreenSources>(std::move(sources));
}

} // namespace ulvarend::platform
