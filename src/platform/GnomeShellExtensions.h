#pragma once

#include "platform/ErrorReporter.h"

#include <functional>
#include <string>

namespace ulvarend::platform {

// Our extension that tells the agent the focused window, in the two formats GNOME Shell
// needs; only the one whose shell versions match is loaded.
inline constexpr const char* kFrontmostExtension = "ulvarend-frontmost@ulvarend.org";
inline constexpr const char* kFrontmostLegacyExtension = "ulvarend-frontmost-legacy@ulvarend.org";
// Debian's AppIndicator extension: without it stock GNOME shows no status icons, and so no
// way to the agent's menu.
inline constexpr const char* kAppIndicatorExtension = "ubuntu-appindicators@ubuntu.com";

// What asking GNOME Shell to load an extension came to.
enum class ExtensionEnabling {
    noGnomeShell, // the shell's settings are not installed here
    notInstalled, // neither for this user nor system-wide
    wasEnabled,
    enabledNow, // added to the list; the running shell may load it only at the next login
    failed,     // reported through `onError`
};

// Adds `uuid` to org.gnome.shell's "enabled-extensions" when the extension is installed (in
// the user's or a system data folder) and missing from the list, and takes it out of
// "disabled-extensions", which would win, as the shell's own switch does. Says so through
// `onInfo`. Main thread; the change is written through before this returns.
ExtensionEnabling enableGnomeShellExtension(const std::string& uuid,
                                            const std::function<void(const std::string&)>& onInfo,
                                            const ErrorReporter& onError);

// Whether GNOME Shell loads none of the user's extensions ("disable-user-extensions").
bool gnomeShellUserExtensionsOff();

// Enables the AppIndicator extension when it is installed but not enabled, so that the agent's
// status icon shows on GNOME. Only in a GNOME session (XDG_CURRENT_DESKTOP names GNOME).
// Main thread.
void enableAppIndicatorExtension(const std::function<void(const std::string&)>& onInfo,
                                 const ErrorReporter& onError);

} // namespace ulvarend::platform
