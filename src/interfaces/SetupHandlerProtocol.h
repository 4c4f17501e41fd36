#pragma once

#include "models/Enums.h"
#include "models/Time.h"

#include <optional>
#include <string>
#include <vector>

namespace ulvarend {

// What a valid setup link sets.
struct SetupValues {
    std::string userId;
    // At least one name; the first becomes the current user.
    std::vector<std::string> users;
    TrackingType trackingType = TrackingType::Device;
    TimePoint stopTrackingDate;
};

// Main thread only. Failures are logged, and answered with false or nothing.
class SetupHandlerProtocol {
public:
    virtual ~SetupHandlerProtocol() = default;
    // True when the link was valid and its settings are stored: `readSetup`, then `applySetup`.
    virtual bool setup(const std::string& url) = 0;
    virtual void showSetupResult(bool success) = 0;
    // The link's values, checked and nothing stored yet; nothing, with the reason logged, when
    // the link is not valid.
    virtual std::optional<SetupValues> readSetup(const std::string& url) = 0;
    // Stores what `readSetup` gave, switches autostart on and marks the agent as set up, all
    // together or nothing of it. True once it is stored.
    virtual bool applySetup(const SetupValues& values) = 0;
};

} // namespace ulvarend
