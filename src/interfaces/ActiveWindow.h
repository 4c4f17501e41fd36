#pragma once

#include "models/Time.h"

#include <optional>
#include <string>

namespace ulvarend {

// One foreground-application session.
struct ActiveWindow {
    std::string bundleIdentifier;
    TimePoint startTime;
    std::optional<TimePoint> endTime;

    bool operator==(const ActiveWindow&) const = default;
};

} // namespace ulvarend
