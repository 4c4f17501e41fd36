#pragma once

#include "platform/ErrorReporter.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ulvarend::platform {

struct FrontmostApplication {
    // Absent when the application names itself in none of the ways the window system offers.
    std::optional<std::string> identifier;
    // The lock screen or screen saver is in front. Told apart here rather than by a name,
    // because any program may give itself any name.
    bool isLockScreen = false;
};

// The application that owns the focused window, as one window system tells it. Asked from the
// polling thread.
class FrontmostApplicationSource {
public:
    virtual ~FrontmostApplicationSource() = default;
    virtual std::optional<FrontmostApplication> frontmostApplication() = 0;
};

// The frontmost application of the X display named by DISPLAY, read through a connection of
// its own. A lost connection is reported once through `onError` and reopened on a later poll.
// Returns nullptr when DISPLAY is unset or the display cannot be opened.
std::shared_ptr<FrontmostApplicationSource> makeX11FrontmostSource(ErrorReporter onError);

// The frontmost application of the wlroots-based compositor named by WAYLAND_DISPLAY, learnt
// from its foreign toplevel management protocol: the toplevel that holds the "activated"
// state is in front, and its app id names it. The source keeps a connection of its own,
// served by a thread of its own, so a poll only reads what the compositor last said.
// A compositor that goes away is reported once through `onError`; later polls connect again.
// Returns nullptr when WAYLAND_DISPLAY is unset, the compositor cannot be reached or it does
// not offer the protocol.
std::shared_ptr<FrontmostApplicationSource> makeWlrFrontmostSource(ErrorReporter onError);

// `source`, except that while `screensAsleep` answers true the lock screen is in front and
// `source` is not asked.
std::shared_ptr<FrontmostApplicationSource>
showLockScreenWhileAsleep(std::shared_ptr<FrontmostApplicationSource> source,
                          std::function<bool()> screensAsleep);

// The first source of the frontmost application that works here: a wlroots compositor when
// WAYLAND_DISPLAY is set, then the X server when DISPLAY is set. The one chosen is named
// through `onInfo`; when none works that is said through `onError` and the source returned
// never finds an application in front. While `screensAsleep` answers true the chosen source
// shows the lock screen; `onError` also hears a chosen source's later failures.
std::shared_ptr<FrontmostApplicationSource>
makeFrontmostSourceChain(std::function<bool()> screensAsleep, ErrorReporter onError,
                         std::function<void(const std::string&)> onInfo);

} // namespace ulvarend::platform
