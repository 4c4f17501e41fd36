#pragma once

namespace ulvarend {

class TrackerProtocol {
public:
    virtual ~TrackerProtocol() = default;
    virtual void start() = 0;
};

class AppTrackerProtocol : public TrackerProtocol {};

class DeviceTrackerProtocol : public TrackerProtocol {};

} // namespace ulvarend
