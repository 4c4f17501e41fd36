#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ulvarend::platform {

// What stands for the lock screen or screen saver. No desktop application can carry this id:
// application ids never contain parentheses or spaces.
inline constexpr std::string_view kLockScreenIdentifier = "(lock screen)";

struct FrontmostApplication {
    // Absent when the application names itself in none of the ways the window system offers.
    std::optional<std::string> identifier;
};

// The application that owns the focused window. Asked from the polling thread.
class Workspace {
public:
    virtual ~Workspace() = default;
    virtual std::optional<FrontmostApplication> frontmostApplication() = 0;
};

} // namespace ulvarend::platform
