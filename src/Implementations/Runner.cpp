#include "Implementations/Runner.h"

namespace ulvarend {

Runner::Runner(std::shared_ptr<AppTrackerProtocol> appTracker_,
               std::shared_ptr<DeviceTrackerProtocol> deviceTracker_,
               std::shared_ptr<AlertHandlerProtocol> alertHandler_,
               std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler_,
               std::shared_ptr<LaunchAtLoginHandlerProtocol> launchAtLoginHandler_,
               std::shared_ptr<LoggerProtocol> logger_,
               std::shared_ptr<UserHandlerProtocol> userHandler_,
               std::shared_ptr<UsageBuilderProtocol> usageBuilder_,
               std::shared_ptr<SendOrSaveHandlerProtocol> sendOrSaveHandler_,
               std::shared_ptr<SettingsProtocol> settings_,
               std::shared_ptr<platform::Process> process_)
    : appTracker(std::move(appTracker_)), deviceTracker(std::move(deviceTracker_)),
      alertHandler(std::move(alertHandler_)), dateTimeHandler(std::move(dateTimeHandler_)),
      launchAtLoginHandler(std::move(launchAtLoginHandler_)), logger(std::move(logger_)),
      userHandler(std::move(userHandler_)), usageBuilder(std::move(usageBuilder_)),
      sendOrSaveHandler(std::move(sendOrSaveHandler_)), settings(std::move(settings_)),
      process(std::move(process_)) {}

void Runner::run() {
    if (!settings->appHasBeenSetup()) {
        logger->logInfo("App has not been setup.");
        alertHandler->showSetupMissingAlert();
        return;
    }

    // The clock is read before the stop date: with no stop date stored the settings answer
    // the time of reading, which then is never earlier than `now`.
    const auto now = dateTimeHandler->now();
    const auto stopDate = settings->stopTrackingDate();
    if (stopDate < now) {
        alertHandler->showTrackingPeriodEndedAlert();
        logger->logInfo(
            "Tracking date has been reached. Disabling Launch at Login and terminating app.");
        launchAtLoginHandler->setIsEnabled(false);
        // A later run of a process that was tracking: what was in front until now still counts.
        appTracker->closeOpenSession(AppTrackerProtocol::AfterClosing::stopTracking);
        process->exit(0);
        return;
    }

    if (settings->trackingType() == TrackingType::AppAndDevice) {
        appTracker->start();
    } else {
        appTracker->startDeliveryOnly();
    }
    deviceTracker->start();
}

void Runner::handleTermination() {
    if (!settings->appHasBeenSetup()) {
        return;
    }
    // Before the pause, so that it is sent, or stored with the other unfinished records.
    appTracker->closeOpenSession(AppTrackerProtocol::AfterClosing::stopTracking);
    sendOrSaveHandler->sendOrSave(usageBuilder->buildDeviceUsage(EventType::ended),
                                  /*fromPersistence=*/false);
}

} // namespace ulvarend
