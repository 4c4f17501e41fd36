#pragma once

#include "interfaces/AlertHandlerProtocol.h"
#include "interfaces/AppTrackerProtocol.h"
#include "interfaces/DateTimeHandlerProtocol.h"
#include "interfaces/DeviceTrackerProtocol.h"
#include "interfaces/LaunchAtLoginHandlerProtocol.h"
#include "interfaces/LoggerProtocol.h"
#include "interfaces/RunnerProtocol.h"
#include "interfaces/SettingsProtocol.h"
#include "platform/Process.h"

#include <memory>

namespace ulvarend {

class Runner final : public RunnerProtocol {
public:
    Runner(std::shared_ptr<AppTrackerProtocol> appTracker,
           std::shared_ptr<DeviceTrackerProtocol> deviceTracker,
           std::shared_ptr<AlertHandlerProtocol> alertHandler,
           std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler,
           std::shared_ptr<LaunchAtLoginHandlerProtocol> launchAtLoginHandler,
           std::shared_ptr<LoggerProtocol> logger, std::shared_ptr<SettingsProtocol> settings,
           std::shared_ptr<platform::Process> process);

    void run() override;
    void handleTermination() override;
    void checkTrackingPeriod() override;
    void closeSessions() override;

private:
    // True when the period was over, after which the process has been ended.
    bool endIfPeriodIsOver();

    std::shared_ptr<AppTrackerProtocol> appTracker;
    std::shared_ptr<DeviceTrackerProtocol> deviceTracker;
    std::shared_ptr<AlertHandlerProtocol> alertHandler;
    std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler;
    std::shared_ptr<LaunchAtLoginHandlerProtocol> launchAtLoginHandler;
    std::shared_ptr<LoggerProtocol> logger;
    std::shared_ptr<SettingsProtocol> settings;
    std::shared_ptr<platform::Process> process;
};

} // namespace ulvarend
