#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace ulvarend {

using TimePoint = std::chrono::system_clock::time_point;

// RFC 3339 in UTC to the whole second, e.g. 2021-03-04T05:06:07Z. Fractions are dropped
// (floored), so a time stamp never reads as later than the moment it names.
std::string formatRfc3339(TimePoint time);
// The inverse of formatRfc3339: nothing unless `text` is exactly that form and names a real
// moment (no 30 February, no leap second).
std::optional<TimePoint> parseRfc3339(std::string_view text);

// The two UTC forms the agent writes into files. Both are stored, in rows and in file names,
// so they never change.
enum class UtcForm {
    // The local store's time stamps, to the millisecond: 2021-03-04T09:08:07.654
    milliseconds,
    // File names (log files, files moved aside), to the second: 20261208T103000Z
    compact,
};

// Fractions below the form's unit are dropped (floored).
std::string formatUtc(TimePoint time, UtcForm form);
// Nothing unless `text` is exactly in `form`.
std::optional<TimePoint> parseUtc(std::string_view text, UtcForm form);

} // namespace ulvarend
