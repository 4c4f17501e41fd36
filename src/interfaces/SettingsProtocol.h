#pragma once

#include "interfaces/AppHasBeenSetupDelegate.h"
#include "interfaces/Credentials.h"
#include "models/Enums.h"
#include "models/Time.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ulvarend {

// Reads are not const: reading the user list writes an empty one when none is readable.
class SettingsProtocol {
public:
    virtual ~SettingsProtocol() = default;

    virtual bool appHasBeenSetup() = 0;
    virtual void setAppHasBeenSetup(bool value) = 0;
    virtual void
    addAppHasBeenSetupChangedSubscriber(std::shared_ptr<AppHasBeenSetupDelegate> subscriber) = 0;
    virtual std::vector<std::string> userList() = 0;
    virtual void setUserList(const std::vector<std::string>& users) = 0;
    virtual std::int64_t userCount() = 0;
    virtual std::string currentUser() = 0;
    virtual void setCurrentUser(const std::string& user) = 0;
    virtual std::string deviceModelName() = 0;
    virtual TrackingType trackingType() = 0;
    virtual void setTrackingType(TrackingType type) = 0;
    virtual TimePoint stopTrackingDate() = 0;
    virtual void setStopTrackingDate(TimePoint date) = 0;
    virtual void setUserId(const std::string& userId) = 0;
    virtual std::string participantIdentifier() = 0;
    virtual std::string participantIdentifier(const std::string& forUser) = 0;
    virtual Credentials credentials() = 0;
    // Runs `writes`, made with the setters above, whose values reach the disk together or not
    // at all. False when they did not, or `writes` answered false: then every setting reads as
    // before. Subscribers hear of appHasBeenSetup once it is saved, and not at all on false.
    virtual bool saveTogether(const std::function<bool()>& writes) = 0;
};

} // namespace ulvarend
