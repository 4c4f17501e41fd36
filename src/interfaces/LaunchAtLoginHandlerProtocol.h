#pragma once

namespace ulvarend {

class LaunchAtLoginHandlerProtocol {
public:
    virtual ~LaunchAtLoginHandlerProtocol() = default;
    virtual void setIsEnabled(bool isEnabled) = 0;
};

} // namespace ulvarend
