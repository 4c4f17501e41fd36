#pragma once

namespace ulvarend {

class LaunchAtLoginHandlerProtocol {
public:
    virtual ~LaunchAtLoginHandlerProtocol() = default;
    // Whether the change reached the disk.
    virtual bool setIsEnabled(bool isEnabled) = 0;
};

} // namespace ulvarend
