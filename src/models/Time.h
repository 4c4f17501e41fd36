#pragma once

#include <chrono>
#include <string>

namespace ulvarend {

using TimePoint = std::chrono::system_clock::time_point;

// RFC 3339 in UTC to the whole second, e.g. 2021-03-04T05:06:07Z. Fractions are dropped
// (floored), so a time stamp never reads as later than the moment it names.
std::string formatRfc3339(TimePoint time);

} // namespace ulvarend
