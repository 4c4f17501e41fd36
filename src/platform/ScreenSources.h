#pragma once

#include "platform/ErrorReporter.h"
#include "platform/ScreenNotifications.h"

#include <functional>
#include <memory>

namespace ulvarend::platform {

// Listens, on the main thread, to something that tells that the screens went off or came
// back, and reports its view to `state`. Listening stops when it is destroyed. A source that
// cannot be reached is reported once through `onError` and the others go on. Each needs a
// running QCoreApplication.
class ScreenSources {
public:
    virtual ~ScreenSources() = default;
};

// The screen savers' ActiveChanged on the session bus, and logind's Lock/Unlock, LockedHint and
// Active of this session and PrepareForSleep on the system bus. `onSessionEnding` hears that
// the machine shuts down or this session is removed.
std::unique_ptr<ScreenSources> startDBusScreenSources(std::shared_ptr<ScreenState> state,
                                                      ErrorReporter onError,
                                                      std::function<void()> onSessionEnding = {});

// The X screen saver extension of the display named by DISPLAY; nothing when it is unset.
std::unique_ptr<ScreenSources> startXScreenSaverSource(std::shared_ptr<ScreenState> state,
                                                       ErrorReporter onError);

// Every source above.
std::unique_ptr<ScreenSources> startScreenSources(std::shared_ptr<ScreenState> state,
                                                  ErrorReporter onError,
                                                  std::function<void()> onSessionEnding = {});

} // namespace ulvarend::platform
