#include "platform/linux/WorkspaceChain.h"

#include "platform/linux/WlrWorkspace.h"
#include "platform/linux/X11Workspace.h"

#include <cstdlib>

namespace ulvarend::platform {
namespace {

// Stands in when no window system could be reached: nothing is ever in front, not even the
// lock screen, so nothing is recorded at all.
class NoWorkspace final : public Workspace {
public:
    std::optional<FrontmostApplication> frontmostApplication() override { return std::nullopt; }
};

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

std::shared_ptr<Workspace> makeWorkspaceChain(std::function<bool()> screensAsleep,
                                              std::function<void(const std::string&)> onError,
                                              std::function<void(const std::string&)> onInfo) {
    // Why each source was passed over, for the one line that says none works.
    std::string passedOver;

    const std::string wayland = variable("WAYLAND_DISPLAY");
    if (wayland.empty()) {
        passedOver = "WAYLAND_DISPLAY is not set";
    } else if (auto workspace = makeWlrWorkspace(screensAsleep, onError)) {
        if (onInfo) {
            onInfo("Frontmost application source: wlroots Wayland (" + wayland + ")");
        }
        return workspace;
    } else {
        passedOver = "the Wayland compositor " + wayland +
                     " cannot be reached or does not list its toplevels";
    }

    const std::string x11 = variable("DISPLAY");
    if (x11.empty()) {
        passedOver += ", DISPLAY is not set";
    } else if (auto workspace = makeX11Workspace(screensAsleep, onError)) {
        if (onInfo) {
            onInfo("Frontmost application source: X11 (" + x11 + ")");
        }
        return workspace;
    } else {
        passedOver += ", the X server " + x11 + " cannot be reached";
    }

    if (onError) {
        onError("No source for the frontmost application: " + passedOver);
    }
    return std::make_shared<NoWorkspace>();
}

} // namespace ulvarend::platform
