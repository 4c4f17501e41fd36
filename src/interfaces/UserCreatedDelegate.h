#pragma once

#include <string>

namespace ulvarend {

class UserCreatedDelegate {
public:
    virtual ~UserCreatedDelegate() = default;
    virtual void userCreated(const std::string& name) = 0;
};

} // namespace ulvarend
