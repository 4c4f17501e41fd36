#pragma once

#include "platform/ScreenNotifications.h"

#include <functional>
#include <memory>
#include <string>

namespace ulvarend::platform {

// Listens, on the main thread, to everything that tells that the screens went off or came
// back, and reports each source's view to `state`: the screen savers' ActiveChanged on the
// session bus, logind's Lock/Unlock and LockedHint of this session and PrepareForSleep on the
// system bus, and the X screen saver extension when DISPLAY is set. A source that cannot be
// reached is reported once through `onError` and the others go on. Needs a running
// QCoreApplication.
class ScreenSources {
public:
    virtual ~ScreenSources() = default;
};

std::unique_ptr<ScreenSources> startScreenSources(std::shared_ptr<ScreenState> state,
                                                  std::function<void(const std::string&)> onError);

} // namespace ulvarend::platform
