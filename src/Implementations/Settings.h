#pragma once

#include "interfaces/DateTimeHandlerProtocol.h"
#include "interfaces/SettingsProtocol.h"
#include "platform/DefaultsStore.h"
#include "platform/HardwareModel.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ulvarend {

class Settings final : public SettingsProtocol {
public:
    Settings(std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler,
             std::shared_ptr<platform::DefaultsStore> userDefaults,
             std::shared_ptr<platform::HardwareModel> hardwareModel);

    bool appHasBeenSetup() override;
    void setAppHasBeenSetup(bool value) override;
    void addAppHasBeenSetupChangedSubscriber(
        std::shared_ptr<AppHasBeenSetupDelegate> subscriber) override;
    std::vector<std::string> userList() override;
    void setUserList(const std::vector<std::string>& users) override;
    std::int64_t userCount() override;
    std::string currentUser() override;
    void setCurrentUser(const std::string& user) override;
    std::string deviceModelName() override;
    TrackingType trackingType() override;
    void setTrackingType(TrackingType type) override;
    TimePoint stopTrackingDate() override;
    void setStopTrackingDate(TimePoint date) override;
    void setUserId(const std::string& userId) override;
    std::string participantIdentifier() override;
    std::string participantIdentifier(const std::string& forUser) override;
    Credentials credentials() override;
    bool saveTogether(const std::function<bool()>& writes) override;

private:
    std::string storedUserId();
    void announceAppHasBeenSetup(bool value);

    std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler;
    // Held weakly: the subscriber usually holds these settings itself, and a strong reference
    // back would keep both alive for ever.
    std::vector<std::weak_ptr<AppHasBeenSetupDelegate>> appHasBeenSetupChangedSubscribers;
    std::shared_ptr<platform::DefaultsStore> userDefaults;
    std::shared_ptr<platform::HardwareModel> hardwareModel;
    // Inside saveTogether, what appHasBeenSetup was last set to, to announce once it is saved.
    bool savingTogether = false;
    std::optional<bool> unannounced;

    // The names under which the values persist between runs; never to be changed.
    const std::string appHasBeenSetupKey = "appHasBeenSetup";
    const std::string userListKey = "userList";
    // "Data", not "Date": the key every settings file already holds.
    const std::string stopTrackingDateKey = "stopTrackingData";
    const std::string userIdKey = "userId";
    const std::string trackingTypeKey = "trackingType";
    const std::string currentUserKey = "currentUser";
};

} // namespace ulvarend
