#pragma once

#include "platform/Workspace.h"

#include <functional>
#include <memory>
#include <string>

namespace ulvarend::platform {

// The frontmost application of the wlroots-based compositor named by WAYLAND_DISPLAY, learnt
// from its foreign toplevel management protocol: the toplevel that holds the "activated"
// state is in front, and its app id names it. The source keeps a connection of its own,
// served by a thread of its own, so a poll only reads what the compositor last said.
// While `screensAsleep` answers true the lock screen is in front. A compositor that goes away
// is reported once through `onError`; later polls connect again.
// Returns nullptr when WAYLAND_DISPLAY is unset, the compositor cannot be reached or it does
// not offer the protocol.
std::shared_ptr<Workspace> makeWlrWorkspace(std::function<bool()> screensAsleep,
                                            std::function<void(const std::string&)> onError);

} // namespace ulvarend::platform
