#include "platform/FrontmostApplicationSource.h"
#include "platform/Text.h"

#include <cstdlib>
#include <mutex>

namespace ulvarend::platform {
namespace {

// Application identifiers are short names; anything longer is not one.
constexpr std::size_t kIdentifierLength = 1024;

constexpr std::chrono::minutes kRetryInterval{1};

// The window systems know nothing of the lock screen that the screen sources report, so the
// rule lives here, once, in front of whichever of them was chosen.
class LockScreenWhileAsleep final : public FrontmostApplicationSource {
public:
    LockScreenWhileAsleep(std::shared_ptr<FrontmostApplicationSource> source_,
                          std::function<bool()> screensAsleep_)
        : source(std::move(source_)), screensAsleep(std::move(screensAsleep_)) {}

    std::optional<FrontmostApplication> frontmostApplication() override {
        if (screensAsleep && screensAsleep()) {
            return FrontmostApplication{std::nullopt, true};
        }
        return source->frontmostApplication();
    }

private:
    const std::shared_ptr<FrontmostApplicationSource> source;
    const std::function<bool()> screensAsleep;
};

class CandidateChain final : public FrontmostSourceChain {
public:
    CandidateChain(std::vector<FrontmostSourceCandidate> candidates_,
                   std::function<bool()> screensAsleep_, ErrorReporter onError,
                   std::function<void(const std::string&)> onInfo_,
                   std::function<std::chrono::steady_clock::time_point()> now_)
        : candidates(std::move(candidates_)), screensAsleep(std::move(screensAsleep_)),
          onInfo(std::move(onInfo_)), now(std::move(now_)) {
        std::string passedOver;
        if (!choose(/*allowSlow=*/true, &passedOver) && onError) {
            onError("No source for the frontmost application: " +
                    (passedOver.empty() ? std::string("none is known here") : passedOver));
        }
    }

    std::optional<FrontmostApplication> frontmostApplication() override {
        std::shared_ptr<FrontmostApplicationSource> source;
        {
            std::lock_guard lock(mutex);
            if (!chosen && !released) {
                const bool slowDue = now() - lastSlowTry >= kRetryInterval;
                choose(slowDue, nullptr);
            }
            source = chosen;
        }
        // Nothing works yet: nothing is recorded at all, not even the lock screen.
        return source ? source->frontmostApplication() : std::nullopt;
    }

    void release() override {
        std::vector<std::function<void()>> releases;
        {
            std::lock_guard lock(mutex);
            if (released) {
                return;
            }
            released = true;
            for (const auto& candidate : candidates) {
                if (candidate.release) {
                    releases.push_back(candidate.release);
                }
            }
        }
        for (const auto& give : releases) {
            give();
        }
    }

private:
    // Tries the candidates in order; slow ones only when `allowSlow`. Called with `mutex`
    // held, or from the constructor.
    bool choose(bool allowSlow, std::string* passedOver) {
        if (allowSlow) {
            lastSlowTry = now();
        }
        for (const auto& candidate : candidates) {
            if (!allowSlow && candidate.retry == FrontmostSourceCandidate::Retry::everyMinute) {
                continue;
            }
            std::string whyNot;
            auto source = candidate.open ? candidate.open(&whyNot) : nullptr;
            if (source) {
                chosen = showLockScreenWhileAsleep(std::move(source), screensAsleep);
                if (onInfo) {
                    onInfo("Frontmost application source: " + candidate.name);
                }
                return true;
            }
            if (passedOver != nullptr) {
                if (!passedOver->empty()) {
                    *passedOver += "; ";
                }
                *passedOver += candidate.name + ": " + (whyNot.empty() ? "unavailable" : whyNot);
            }
        }
        return false;
    }

    std::vector<FrontmostSourceCandidate> candidates;
    const std::function<bool()> screensAsleep;
    const std::function<void(const std::string&)> onInfo;
    const std::function<std::chrono::steady_clock::time_point()> now;

    std::mutex mutex;
    std::shared_ptr<FrontmostApplicationSource> chosen;
    std::chrono::steady_clock::time_point lastSlowTry;
    bool released = false;
};

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A window system the agent connects to itself, named by an environment variable's `display`.
FrontmostSourceCandidate
windowSystem(std::string name, std::string display, std::string whenUnset,
             std::string whenUnreachable,
             std::function<std::shared_ptr<FrontmostApplicationSource>()> connect) {
    FrontmostSourceCandidate candidate;
    candidate.name = std::move(name);
    candidate.open = [display = std::move(display), whenUnset = std::move(whenUnset),
                      whenUnreachable = std::move(whenUnreachable), connect = std::move(connect)](
                         std::string* whyNot) -> std::shared_ptr<FrontmostApplicationSource> {
        if (display.empty()) {
            *whyNot = whenUnset;
            return nullptr;
        }
        auto source = connect();
        if (!source) {
            *whyNot = whenUnreachable;
        }
        return source;
    };
    return candidate;
}

// A desktop helper's source is made when the chain first comes to it, on the main thread
// while the chain is built, and only then: on a desktop where an earlier candidate works it
// never owns a bus name or loads a script.
FrontmostSourceCandidate desktopHelper(std::string name,
                                       std::function<std::shared_ptr<DesktopHelperSource>()> make) {
    struct Made {
        std::function<std::shared_ptr<DesktopHelperSource>()> make;
        std::shared_ptr<DesktopHelperSource> helper;
    };
    auto made = std::make_shared<Made>(Made{std::move(make), nullptr});
    FrontmostSourceCandidate candidate;
    candidate.name = std::move(name);
    candidate.retry = FrontmostSourceCandidate::Retry::everyPoll;
    candidate.open = [made](std::string* whyNot) -> std::shared_ptr<FrontmostApplicationSource> {
        if (!made->helper) {
            made->helper = made->make();
        }
        if (made->helper && made->helper->working(whyNot)) {
            return made->helper;
        }
        return nullptr;
    };
    candidate.release = [made] {
        if (made->helper) {
            made->helper->release();
        }
    };
    return candidate;
}

} // namespace

std::shared_ptr<FrontmostApplicationSource>
showLockScreenWhileAsleep(std::shared_ptr<FrontmostApplicationSource> source,
                          std::function<bool()> screensAsleep) {
    return std::make_shared<LockScreenWhileAsleep>(std::move(source), std::move(screensAsleep));
}

std::optional<std::string> boundedIdentifier(std::string_view told) {
    if (told.empty() || told.size() > kIdentifierLength || !isValidUtf8(told)) {
        return std::nullopt;
    }
    return std::string(told);
}

std::shared_ptr<FrontmostSourceChain>
makeFrontmostSourceChain(std::vector<FrontmostSourceCandidate> candidates,
                         std::function<bool()> screensAsleep, ErrorReporter onError,
                         std::function<void(const std::string&)> onInfo,
                         std::function<std::chrono::steady_clock::time_point()> now) {
    return std::make_shared<CandidateChain>(std::move(candidates), std::move(screensAsleep),
                                            std::move(onError), std::move(onInfo), std::move(now));
}

std::shared_ptr<FrontmostSourceChain>
makeFrontmostSourceChain(std::function<bool()> screensAsleep, ErrorReporter onError,
                         std::function<void(const std::string&)> onInfo) {
    std::vector<FrontmostSourceCandidate> candidates;
    const std::string wayland = variable("WAYLAND_DISPLAY");
    if (!wayland.empty() || variable("XDG_SESSION_TYPE") == "wayland") {
        candidates.push_back(
            windowSystem("wlroots Wayland (" + wayland + ")", wayland, "WAYLAND_DISPLAY is not set",
                         "the compositor cannot be reached or does not list its toplevels",
                         [onError] { return makeWlrFrontmostSource(onError); }));
        candidates.push_back(desktopHelper("KDE Plasma (KWin)", [onError, onInfo] {
            return makeKWinFrontmostSource(onError, onInfo);
        }));
        candidates.push_back(desktopHelper("GNOME Shell", [onError, onInfo] {
            return makeGnomeShellFrontmostSource(onError, onInfo);
        }));
    } else {
        const std::string x11 = variable("DISPLAY");
        candidates.push_back(windowSystem("X11 (" + x11 + ")", x11,
                                          "neither WAYLAND_DISPLAY nor DISPLAY is set",
                                          "the X server cannot be reached",
                                          [onError] { return makeX11FrontmostSource(onError); }));
    }
    return makeFrontmostSourceChain(std::move(candidates), std::move(screensAsleep),
                                    std::move(onError), std::move(onInfo),
                                    [] { return std::chrono::steady_clock::now(); });
}

} // namespace ulvarend::platform
