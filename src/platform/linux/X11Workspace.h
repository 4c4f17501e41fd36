#pragma once

#include "platform/Workspace.h"

#include <functional>
#include <memory>
#include <string>

namespace ulvarend::platform {

// The frontmost application of the X display named by DISPLAY, read through a connection of
// its own. While `screensAsleep` answers true the lock screen is in front and X is not asked.
// A lost connection is reported once through `onError` and reopened on a later poll.
// Returns nullptr when DISPLAY is unset or the display cannot be opened.
std::shared_ptr<Workspace> makeX11Workspace(std::function<bool()> screensAsleep,
                                            std::function<void(const std::string&)> onError);

} // namespace ulvarend::platform
