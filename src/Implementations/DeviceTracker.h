#pragma once

#include "interfaces/DateTimeHandlerProtocol.h"
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
    DeviceTracker(std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler,
                  std::shared_ptr<SendOrSaveHandlerProtocol> sendOrSaveHandler,
                  std::shared_ptr<SettingsProtocol> settings,
                  std::shared_ptr<UsageBuilderProtocol> usageBuilder,
                  std::shared_ptr<UserHandlerProtocol> userHandler,
                  std::shared_ptr<platform::ScreenNotifications> screenNotifications);

    // A second start is ignored; registering again would report every event twice. Started
    // while the screens are asleep, the first session begins when they wake.
    void start() override;

    void userSessionStarted(const std::string& user) override;
    void userSessionEnded(const std::string& user) override;

private:
    void record(EventType eventType, const std::string& user);

    std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler;
    std::shared_ptr<SendOrSaveHandlerProtocol> sendOrSaveHandler;
    std::shared_ptr<SettingsProtocol> settings;
    std::shared_ptr<UsageBuilderProtocol> usageBuilder;
    std::shared_ptr<UserHandlerProtocol> userHandler;
    std::shared_ptr<platform::ScreenNotifications> screenNotifications;
    bool started = false;
    // Whether the last record was a start: a session is started once and ended once.
    bool sessionOpen = false;
};

} // namespace ulvarend
