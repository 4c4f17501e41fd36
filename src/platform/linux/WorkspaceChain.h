#pragma once

#include "platform/Workspace.h"

#include <functional>
#include <memory>
#include <string>

namespace ulvarend::platform {

// The first source of the frontmost application that works here: a wlroots compositor when
// WAYLAND_DISPLAY is set, then the X server when DISPLAY is set. The one chosen is named
// through `onInfo`; when none works that is said through `onError` and the source returned
// never finds an application in front. Every source shows the lock screen while
// `screensAsleep` answers true; `onError` also hears a chosen source's later failures.
std::shared_ptr<Workspace> makeWorkspaceChain(std::function<bool()> screensAsleep,
                                              std::function<void(const std::string&)> onError,
                                              std::function<void(const std::string&)> onInfo);

} // namespace ulvarend::platform
