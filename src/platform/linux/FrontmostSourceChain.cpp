#include "platform/FrontmostApplicationSource.h"

#include <cstdlib>

namespace ulvarend::platform {
namespace {

// Stands in when no window system could be reached: nothing is ever in front, not even the
// lock screen, so nothing is recorded at all.
class NoFrontmostSource final : public FrontmostApplicationSource {
public:
    std::optional<FrontmostApplication> frontmostApplication() override { return std::nullopt; }
};

// The window systems know nothing of the lock screen that the screen sources report, so the
// rule lives here, once, in front of whichever of them was chosen.
class LockScreenWhileAsleep final : public FrontmostApplicationSource {
public:
    LockScreenWhileAsleep(std::shared_ptr<FrontmostApplicationSource> source,
                          std::function<bool()> screensAsleep)
        : source(std::move(source)), screensAsleep(std::move(screensAsleep)) {}

    std::optional<FrontmostApplication> frontmostApplication() override {
        if (screensAsleep && screensAsleep()) {
            return FrontmostApplication{std::nullopt, true};
        }
        return source->frontmostApplication();
    }

private:
    const std::shared_ptr<FrontmostApplicationSource> source;
    const std::function<bool()> screensAsleep;
};

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

std::shared_ptr<FrontmostApplicationSource>
showLockScreenWhileAsleep(std::shared_ptr<FrontmostApplicationSource> source,
                          std::function<bool()> screensAsleep) {
    return std::make_shared<LockScreenWhileAsleep>(std::move(source), std::move(screensAsleep));
}

std::shared_ptr<FrontmostApplicationSource>
makeFrontmostSourceChain(std::function<bool()> screensAsleep, ErrorReporter onError,
                         std::function<void(const std::string&)> onInfo) {
    // Why each source was passed over, for the one line that says none works.
    std::string passedOver;

    const std::string wayland = variable("WAYLAND_DISPLAY");
    if (wayland.empty()) {
        passedOver = "WAYLAND_DISPLAY is not set";
    } else if (auto source = makeWlrFrontmostSource(onError)) {
        if (onInfo) {
            onInfo("Frontmost application source: wlroots Wayland (" + wayland + ")");
        }
        return showLockScreenWhileAsleep(std::move(source), std::move(screensAsleep));
    } else {
        passedOver = "the Wayland compositor " + wayland +
                     " cannot be reached or does not list its toplevels";
    }

    const std::string x11 = variable("DISPLAY");
    if (x11.empty()) {
        passedOver += ", DISPLAY is not set";
    } else if (auto source = makeX11FrontmostSource(onError)) {
        if (onInfo) {
            onInfo("Frontmost application source: X11 (" + x11 + ")");
        }
        return showLockScreenWhileAsleep(std::move(source), std::move(screensAsleep));
    } else {
        passedOver += ", the X server " + x11 + " cannot be reached";
    }

    if (onError) {
        onError("No source for the frontmost application: " + passedOver);
    }
    return std::make_shared<NoFrontmostSource>();
}

} // namespace ulvarend::platform
