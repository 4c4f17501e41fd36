#pragma once

#include "interfaces/DeviceTrackerProtocol.h"
#include "interfaces/SendOrSaveHandlerProtocol.h"
#include "interfaces/SettingsProtocol.h"
#include "interfaces/UsageBuilderProtocol.h"
#include "interfaces/UserHandlerProtocol.h"
#include "interfaces/UserSessionChangesDelegate.h"
#include "platform/ScreenNotifications.h"

#include <memory>

namespace ulvarend {

class DeviceTracker final : public DeviceTrackerProtocol,
                            public UserSessionChangesDelegate,
                            public std::enable_shared_from_this<DeviceTracker> {
public:
    DeviceTracker(std::shared_ptr<SendOrSaveHandlerProtocol> sendOrSaveHandler,
                  std::shared_ptr<SettingsProtocol> settings,
                  std::shared_ptr<UsageBuilderProtocol> usageBuilder,
                  std::shared_ptr<UserHandlerProtocol> userHandler,
                  std::shared_ptr<platform::ScreenNotifications> screenNotifications);

    // A second start registers nothing again, which would report every event twice; it only
    // begins the member's session, as at launch, after `endSession()` ended one (a link that
    // changed who is recorded). Started while the screens are asleep, the session begins when
    // they wake.
    void start() override;
    void endSession() override;

    void userSessionStarted(const std::string& user) override;
    void userSessionEnded(const std::string& user) override;

private:
    void record(EventType eventType, const std::string& user);
    void beginSessionUnlessAsleep();

    std::shared_ptr<SendOrSaveHandlerProtocol> sendOrSaveHandler;
    std::shared_ptr<SettingsProtocol> settings;
    std::shared_ptr<UsageBuilderProtocol> usageBuilder;
    std::shared_ptr<UserHandlerProtocol> userHandler;
    std::shared_ptr<platform::ScreenNotifications> screenNotifications;
    bool started = false;
    // Whether the last record was a start: a session is started once and ended once.
    bool sessionOpen = false;
    // The member the open session was started for.
    std::string sessionUser;
    // Set by `endSession()`: the next start begins the session that it ended.
    bool sessionDue = false;
};

} // namespace ulvarend
