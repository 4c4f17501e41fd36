#pragma once

namespace ulvarend {

class UserWindowClosedDelegate {
public:
    virtual ~UserWindowClosedDelegate() = default;
    virtual void userWindowClosed() = 0;
};

} // namespace ulvarend
