#include "Implementations/Settings.h"

#include "CollectionCredentials.h"
#include "platform/Process.h"
#include "platform/Unicode.h"

#include <algorithm>

namespace ulvarend {

Settings::Settings(std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler,
                   std::shared_ptr<platform::DefaultsStore> userDefaults,
                   std::shared_ptr<platform::HardwareModel> hardwareModel)
    : dateTimeHandler(std::move(dateTimeHandler)), userDefaults(std::move(userDefaults)),
      hardwareModel(std::move(hardwareModel)) {}

bool Settings::appHasBeenSetup() {
    return userDefaults->boolean(appHasBeenSetupKey).value_or(false);
}

void Settings::setAppHasBeenSetup(bool value) {
    userDefaults->setBoolean(appHasBeenSetupKey, value);
    if (savingTogether) {
        unannounced = value;
        return;
    }
    announceAppHasBeenSetup(value);
}

void Settings::announceAppHasBeenSetup(bool value) {
    // Every write is announced, also one that leaves the value as it was.
    for (const auto& weakSubscriber : appHasBeenSetupChangedSubscribers) {
        if (const auto subscriber = weakSubscriber.lock()) {
            subscriber->appHasBeenSetupChanged(value);
        }
    }
}

void Settings::addAppHasBeenSetupChangedSubscriber(
    std::shared_ptr<AppHasBeenSetupDelegate> subscriber) {
    appHasBeenSetupChangedSubscribers.push_back(subscriber);
}

std::vector<std::string> Settings::userList() {
    if (auto users = userDefaults->stringArray(userListKey)) {
        return std::move(*users);
    }
    userDefaults->setStringArray(userListKey, {});
    return {};
}

void Settings::setUserList(const std::vector<std::string>& users) {
    userDefaults->setStringArray(userListKey, users);
}

std::int64_t Settings::userCount() {
    return static_cast<std::int64_t>(userList().size());
}

std::string Settings::currentUser() {
    return userDefaults->string(currentUserKey).value_or(std::string(platform::kUnknownUserName));
}

void Settings::setCurrentUser(const std::string& user) {
    const auto users = userList();
    const bool known = std::any_of(users.begin(), users.end(), [&](const std::string& listed) {
        return platform::canonicallyEqual(listed, user);
    });
    if (!known) {
        platform::fatalError("Invalid currentUser. Not in userList.");
    }
    userDefaults->setString(currentUserKey, user);
}

std::string Settings::deviceModelName() {
    return hardwareModel->name();
}

TrackingType Settings::trackingType() {
    return userDefaults->integer(trackingTypeKey) == 1 ? TrackingType::AppAndDevice
                                                       : TrackingType::Device;
}

void Settings::setTrackingType(TrackingType type) {
    userDefaults->setInteger(trackingTypeKey, type == TrackingType::AppAndDevice ? 1 : 0);
}

TimePoint Settings::stopTrackingDate() {
    if (const auto date = userDefaults->date(stopTrackingDateKey)) {
        return *date;
    }
    return dateTimeHandler->now();
}

void Settings::setStopTrackingDate(TimePoint date) {
    userDefaults->setDate(stopTrackingDateKey, date);
}

void Settings::setUserId(const std::string& userId) {
    userDefaults->setString(userIdKey, userId);
}

std::string Settings::storedUserId() {
    return userDefaults->string(userIdKey).value_or("ukendt-id");
}

std::string Settings::participantIdentifier() {
    return storedUserId() + ":" + currentUser();
}

std::string Settings::participantIdentifier(const std::string& forUser) {
    return storedUserId() + ":" + forUser;
}

Credentials Settings::credentials() {
    return Credentials{ULVAREND_COLLECTION_USERNAME, ULVAREND_COLLECTION_PASSWORD};
}

bool Settings::saveTogether(const std::function<bool()>& writes) {
    savingTogether = true;
    unannounced.reset();
    bool saved = false;
    try {
        saved = userDefaults->writeTogether(writes);
    } catch (...) {
        savingTogether = false;
        throw;
    }
    savingTogether = false;
    if (saved && unannounced) {
        announceAppHasBeenSetup(*unannounced);
    }
    unannounced.reset();
    return saved;
}

} // namespace ulvarend
