#pragma once

#include "platform/ErrorReporter.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ulvarend::platform {

struct FrontmostApplication {
    // Absent when the application names itself in none of the ways the window system offers.
    std::optional<std::string> identifier;
    // The lock screen or screen saver is in front. Told apart here rather than by a name,
    // because any program may give itself any name.
    bool isLockScreen = false;
    // Which window is in front, in a form only compared for equality ("x11:" and the window
    // id, "wlr:" and the toplevel's number in this connection), so that an application without
    // an identifier is still one application for as long as its window stays in front. Absent
    // when the source cannot tell windows apart.
    std::optional<std::string> window = std::nullopt;
};

// The application that owns the focused window, as one window system tells it. Asked from the
// polling thread.
class FrontmostApplicationSource {
public:
    virtual ~FrontmostApplicationSource() = default;
    virtual std::optional<FrontmostApplication> frontmostApplication() = 0;
};

// The frontmost application of the X display named by DISPLAY, read through a connection of
// its own. A lost connection is reported once through `onError` and reopened on a later poll.
// Returns nullptr when DISPLAY is unset or the display cannot be opened.
std::shared_ptr<FrontmostApplicationSource> makeX11FrontmostSource(ErrorReporter onError);

// The frontmost application of the wlroots-based compositor named by WAYLAND_DISPLAY, learnt
// from its foreign toplevel management protocol: the toplevel that holds the "activated"
// state is in front, and its app id names it. The source keeps a connection of its own,
// served by a thread of its own, so a poll only reads what the compositor last said.
// A compositor that goes away is reported once through `onError`; later polls connect again.
// Returns nullptr when WAYLAND_DISPLAY is unset, the compositor cannot be reached or it does
// not offer the protocol.
std::shared_ptr<FrontmostApplicationSource> makeWlrFrontmostSource(ErrorReporter onError);

// `source`, except that while `screensAsleep` answers true the lock screen is in front and
// `source` is not asked.
std::shared_ptr<FrontmostApplicationSource>
showLockScreenWhileAsleep(std::shared_ptr<FrontmostApplicationSource> source,
                          std::function<bool()> screensAsleep);

// A source fed by a helper of ours that runs inside the desktop shell (a KWin script, a GNOME
// Shell extension) and tells over the session bus what is in front. The helper may appear
// after the agent started (the desktop restarted, an extension enabled) and go away again, so
// the source exists from the start and says whether it works. Built on the main thread, where
// its D-Bus work stays; asked from the polling thread.
class DesktopHelperSource : public FrontmostApplicationSource {
public:
    // Whether the helper is in place; when it is not, `whyNot` says what is missing. Cheap:
    // asked at every poll until some source works.
    virtual bool working(std::string* whyNot) = 0;
    // Takes back what the source left in the desktop (a loaded script). Called once, on the
    // way out, from whichever thread quits.
    virtual void release() {}
};

// KDE Plasma's KWin: a script of ours, loaded through KWin's scripting interface, reports
// every activation to a well-known name this source owns on the session bus. Works once KWin
// is on the bus and has run the script; follows KWin leaving (said once through `onError`)
// and coming back (said through `onInfo`). Calls from any connection but KWin's are refused.
std::shared_ptr<DesktopHelperSource>
makeKWinFrontmostSource(ErrorReporter onError, std::function<void(const std::string&)> onInfo);

// GNOME Shell: our extension, running inside the shell, tells the focused window's
// application on the session bus; only the connection that owns org.gnome.Shell is listened
// to. Enables the extension for this user first when it is installed but not enabled, said
// through `onInfo`. Works once the extension is there; its leaving is reported through
// `onError`, as is a refused intruder (once).
std::shared_ptr<DesktopHelperSource>
makeGnomeShellFrontmostSource(ErrorReporter onError,
                              std::function<void(const std::string&)> onInfo);

// What an identifier told by another program becomes before it is used: nothing when it is
// empty, longer than any real one, or not UTF-8.
std::optional<std::string> boundedIdentifier(std::string_view told);

// One source the chain may take, in the order of preference.
struct FrontmostSourceCandidate {
    // How the chain names it in the log: "Frontmost application source: " + name.
    std::string name;
    // The source, or null with `whyNot` filled when it does not work here (yet).
    std::function<std::shared_ptr<FrontmostApplicationSource>(std::string* whyNot)> open;
    // A cheap `open` (a flag that a D-Bus watch sets) is tried at every poll; one that
    // connects to something is tried at most once a minute.
    enum class Retry { everyPoll, everyMinute } retry = Retry::everyMinute;
    // Called on the way out when this candidate was opened, chosen or not.
    std::function<void()> release;
};

// The first candidate that works. The chosen one is named through `onInfo`; when none works at
// first that is said once through `onError`, with why each was passed over, and until one
// works the source finds nothing in front, not even the lock screen. The candidates are tried
// again at later polls (see `Retry`), and the one that then works is named through `onInfo`.
// Once chosen, a source stays chosen: its own failures are its to report and mend. While
// `screensAsleep` answers true the chosen source shows the lock screen.
class FrontmostSourceChain : public FrontmostApplicationSource {
public:
    // Takes back what the candidates left in the desktop; on the way out.
    virtual void release() = 0;
};

std::shared_ptr<FrontmostSourceChain>
makeFrontmostSourceChain(std::vector<FrontmostSourceCandidate> candidates,
                         std::function<bool()> screensAsleep, ErrorReporter onError,
                         std::function<void(const std::string&)> onInfo,
                         std::function<std::chrono::steady_clock::time_point()> now);

// The chain for this session. In a Wayland session (WAYLAND_DISPLAY set, or XDG_SESSION_TYPE
// "wayland") the candidates are a wlroots compositor, KDE Plasma and GNOME Shell; the X server
// is never asked there, since through XWayland it sees only some of the windows. In any other
// session the X server named by DISPLAY is the one candidate. `onError` also hears the chosen
// source's later failures.
std::shared_ptr<FrontmostSourceChain>
makeFrontmostSourceChain(std::function<bool()> screensAsleep, ErrorReporter onError,
                         std::function<void(const std::string&)> onInfo);

} // namespace ulvarend::platform
