#pragma once

#include "models/Time.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace ulvarend::platform {

// The query items of a URL, fully decoded ("+" stays a plus sign); a later item replaces an
// earlier one of the same name, and an item without "=" has an empty value. Nothing when the
// text is not a URL at all.
std::optional<std::map<std::string, std::string>> urlQueryItems(std::string_view url);

// Standard base64 with "=" padding and nothing outside the alphabet; anything else, missing
// padding included, is nothing.
std::optional<std::string> decodeBase64(std::string_view text);

bool isValidUtf8(std::string_view bytes);

// The first user-perceived character (grapheme cluster) of UTF-8 text.
std::string firstGrapheme(std::string_view text);

// `days` calendar days after `time` in the local time zone, keeping the local time of day
// across daylight-saving changes. Nothing when the result cannot be represented.
std::optional<TimePoint> addCalendarDays(TimePoint time, std::int64_t days);

} // namespace ulvarend::platform
