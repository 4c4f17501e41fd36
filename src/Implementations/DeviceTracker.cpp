#include "Implementations/DeviceTracker.h"

#include <utility>

namespace ulvarend {

DeviceTracker::DeviceTracker(std::shared_ptr<SendOrSaveHandlerProtocol> sendOrSaveHandler_,
                             std::shared_ptr<SettingsProtocol> settings_,
                             std::shared_ptr<UsageBuilderProtocol> usageBuilder_,
                             std::shared_ptr<UserHandlerProtocol> userHandler_,
                             std::shared_ptr<platform::ScreenNotifications> screenNotifications_)
    : sendOrSaveHandler(std::move(sendOrSaveHandler_)), settings(std::move(settings_)),
      usageBuilder(std::move(usageBuilder_)), userHandler(std::move(userHandler_)),
      screenNotifications(std::move(screenNotifications_)) {}

void DeviceTracker::start() {
    if (started) {
        if (std::exchange(sessionDue, false) && !sessionOpen) {
            beginSessionUnlessAsleep();
        }
        return;
    }
    started = true;

    // The notification center lives as long as the process; holding the tracker weakly keeps
    // the two from owning each other.
    std::weak_ptr<DeviceTracker> weak = weak_from_this();
    screenNotifications->addScreensDidWakeObserver([weak] {
        if (auto self = weak.lock(); self && !self->sessionOpen) {
            self->userHandler->verifyCurrentUser();
        }
    });
    screenNotifications->addScreensDidSleepObserver([weak] {
        if (auto self = weak.lock()) {
            self->userSessionEnded(self->settings->currentUser());
        }
    });
    userHandler->addUserSessionChangesSubscriber(shared_from_this());
    beginSessionUnlessAsleep();
}

void DeviceTracker::beginSessionUnlessAsleep() {
    // Nobody is at a locked or sleeping computer: the question and the start wait for the wake.
    if (!screenNotifications->screensAsleep()) {
        userHandler->verifyCurrentUser();
    }
}

void DeviceTracker::endSession() {
    if (sessionOpen) {
        sessionDue = true;
        userSessionEnded(sessionUser);
    }
}

// Every event arrives on the main thread, so the flag needs no lock.
void DeviceTracker::userSessionStarted(const std::string& user) {
    if (std::exchange(sessionOpen, true)) {
        return;
    }
    sessionUser = user;
    record(EventType::started, user);
}

void DeviceTracker::userSessionEnded(const std::string& user) {
    if (!std::exchange(sessionOpen, false)) {
        return;
    }
    record(EventType::ended, user);
}

void DeviceTracker::record(EventType eventType, const std::string& user) {
    sendOrSaveHandler->sendOrSave(usageBuilder->buildDeviceUsage(eventType, user),
                                  /*fromPersistence=*/false);
}

} // namespace ulvarend
