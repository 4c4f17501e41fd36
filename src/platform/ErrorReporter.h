#pragma once

#include <functional>
#include <string>

namespace ulvarend::platform {

// Receives a line describing a failure the platform layer handled itself; whoever makes the
// facility decides where the line is logged.
using ErrorReporter = std::function<void(const std::string&)>;

} // namespace ulvarend::platform
