#pragma once

#include "interfaces/ActiveWindowHandlerProtocol.h"
#include "interfaces/DateTimeHandlerProtocol.h"
#include "platform/FrontmostApplicationSource.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace ulvarend {

class ActiveWindowHandler final : public ActiveWindowHandlerProtocol {
public:
    static constexpr std::string_view kUnknownApplication = "ukendt-applikation";
    // Looks come about once a second. A longer silence means that the machine was suspended,
    // the process was stopped or the clock was set; nobody can say who was in front then.
    static constexpr std::chrono::seconds kLongestLookGap{5};

    ActiveWindowHandler(std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler,
                        std::shared_ptr<platform::FrontmostApplicationSource> frontmostSource);

    std::optional<ActiveWindow> updateActiveWindow() override;
    std::optional<ActiveWindow> closeActiveWindow() override;

private:
    // The open session ended at `end`; what of it may be handed back.
    std::optional<ActiveWindow> endAt(TimePoint end);
    bool isGapSinceLastLook(TimePoint now) const;
    void open(const platform::FrontmostApplication& frontmost, std::string identifier,
              TimePoint now);
    // Whether `frontmost` is the application of the open session, which is not the lock
    // screen's.
    bool isOpenSession(const platform::FrontmostApplication& frontmost) const;

    std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler;
    std::shared_ptr<platform::FrontmostApplicationSource> frontmostSource;
    // Polling loops hand over to each other on network changes; a loop that is being replaced
    // may still be inside a look when the next one starts, so looks are taken one at a time.
    std::mutex lookMutex;
    std::optional<ActiveWindow> currentActiveWindow;
    std::optional<TimePoint> lastLook;
    // The look that first found no window in front. The focus passes through no window at all
    // when one window closes before the next takes it, so the session it interrupts ends
    // there only if the next look finds nothing in front either.
    std::optional<TimePoint> nothingInFrontSince;
    // Whether the open session is the lock screen's, which is never handed back.
    bool currentIsLockScreen = false;
    // Whether the open session's application named itself, and the window it was found in.
    bool currentIsIdentified = false;
    std::optional<std::string> currentWindow;
};

} // namespace ulvarend
