#include "Implementations/Runner.h"

namespace ulvarend {

Runner::Runner(std::shared_ptr<AppTrackerProtocol> appTracker_,
               std::shared_ptr<DeviceTrackerProtocol> deviceTracker_,
               std::shared_ptr<AlertHandlerProtocol> alertHandler_,
               std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler_,
               std::shared_ptr<LaunchAtLoginHandlerProtocol> launchAtLoginHandler_,
               std::shared_ptr<LoggerProtocol> logger_, std::shared_ptr<SettingsProtocol> settings_,
               std::shared_ptr<platform::Process> process_)
    : appTracker(std::move(appTracker_)), deviceTracker(std::move(deviceTracker_)),
      alertHandler(std::move(alertHandler_)), dateTimeHandler(std::move(dateTimeHandler_)),
      launchAtLoginHandler(std::move(launchAtLoginHandler_)), logger(std::move(logger_)),
      settings(std::move(settings_)), process(std::move(process_)) {}

void Runner::run() {
    if (!settings->appHasBeenSetup()) {
        logger->logInfo("App has not been setup.");
        alertHandler->showSetupMissingAlert();
        return;
    }
    if (endIfPeriodIsOver()) {
        return;
    }
    if (settings->trackingType() == TrackingType::AppAndDevice) {
        appTracker->start();
    } else {
        appTracker->startDeliveryOnly();
    }
    deviceTracker->start();
}

void Runner::checkTrackingPeriod() {
    if (settings->appHasBeenSetup()) {
        endIfPeriodIsOver();
    }
}

bool Runner::endIfPeriodIsOver() {
    // The clock is read before the stop date: with no stop date stored the settings answer
    // the time of reading, which then is never earlier than `now`.
    const auto now = dateTimeHandler->now();
    const auto stopDate = settings->stopTrackingDate();
    if (!(stopDate < now)) {
        return false;
    }
    // A running agent that finds the period over: what was open until now still counts, and
    // nothing is recorded while the alert waits.
    appTracker->closeOpenSession(AppTrackerProtocol::AfterClosing::stopTracking);
    deviceTracker->endSession();
    alertHandler->showTrackingPeriodEndedAlert();
    logger->logInfo(
        "Tracking date has been reached. Disabling Launch at Login and terminating app.");
    launchAtLoginHandler->setIsEnabled(false);
    process->exit(0);
    return true;
}

void Runner::closeSessions() {
    appTracker->closeOpenSession(AppTrackerProtocol::AfterClosing::keepTracking);
    deviceTracker->endSession();
}

void Runner::handleTermination() {
    if (!settings->appHasBeenSetup()) {
        return;
    }
    // Before the pause, so that they are sent, or stored with the other unfinished records.
    // Asleep or locked, the member's session has ended already and is not ended again.
    appTracker->closeOpenSession(AppTrackerProtocol::AfterClosing::stopTracking);
    deviceTracker->endSession();
}

} // namespace ulvarend
