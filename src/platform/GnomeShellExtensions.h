#pragma once

#include "platform/ErrorReporter.h"

#include <functional>
#include <string>
#include <vector>

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

// Adds every installed extension of `uuids` that is missing from org.gnome.shell's
// "enabled-extensions" to that list in one write, and takes them out of "disabled-extensions",
// which would win, as the shell's own switch does. The running shell handles each change of
// the list on its own, so what is enabled together is written together. Says so through
// `onInfo`, one line per extension enabled. One outcome per uuid, in order. Main thread; the
// change is written through before this returns.
std::vector<ExtensionEnabling>
enableGnomeShellExtensions(const std::vector<std::string>& uuids,
                           const std::function<void(const std::string&)>& onInfo,
                           const ErrorReporter& onError);

// The same for one extension.
ExtensionEnabling enableGnomeShellExtension(const std::string& uuid,
                                            const std::function<void(const std::string&)>& onInfo,
                                            const ErrorReporter& onError);

// Every extension the agent needs from GNOME Shell, in one write: our frontmost extension in
// both formats and, in a GNOME session (XDG_CURRENT_DESKTOP names GNOME), AppIndicator. Both
// callers ask for the same set, so whichever comes first writes and the other finds nothing
// to add. Returns what became of our frontmost extension. Main thread.
ExtensionEnabling
enableAgentGnomeShellExtensions(const std::function<void(const std::string&)>& onInfo,
                                const ErrorReporter& onError);

// Whether GNOME Shell loads none of the user's extensions ("disable-user-extensions").
bool gnomeShellUserExtensionsOff();

// Enables the AppIndicator extension when it is installed but not enabled, so that the agent's
// status icon shows on GNOME, with the rest of enableAgentGnomeShellExtensions. Only in a GNOME
// session (XDG_CURRENT_DESKTOP names GNOME). Main thread.
void enableAppIndicatorExtension(const std::function<void(const std::string&)>& onInfo,
                                 const ErrorReporter& onError);

} // namespace ulvarend::platform
