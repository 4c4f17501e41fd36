#pragma once

#include "platform/Reachability.h"

#include <memory>
#include <string>

namespace ulvarend::platform {

// A monitor of GIO's network monitor, running its own GLib main loop on a thread of its own.
// Returns nullptr when no network monitor can be created; the reason then goes to *whyNot.
std::shared_ptr<Reachability> makeNetworkReachability(std::string* whyNot = nullptr);

} // namespace ulvarend::platform
