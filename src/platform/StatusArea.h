#pragma once

#include <functional>
#include <memory>

namespace ulvarend::platform {

// Watching stops when it is destroyed.
class StatusAreaWatch {
public:
    virtual ~StatusAreaWatch() = default;
};

// Calls `appeared` on the main thread, from the event loop, each time an X status area (a
// system tray manager of the display named by DISPLAY) takes its place, and once soon after
// the start when one is already there. Costs nothing while nothing happens: it waits for the X
// server to tell. Returns nullptr when DISPLAY is unset or the display cannot be opened. Needs
// a running QCoreApplication.
std::unique_ptr<StatusAreaWatch> watchForXStatusArea(std::function<void()> appeared);

} // namespace ulvarend::platform
