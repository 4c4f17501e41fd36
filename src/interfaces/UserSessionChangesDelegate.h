#pragma once

#include <string>

namespace ulvarend {

class UserSessionChangesDelegate {
public:
    virtual ~UserSessionChangesDelegate() = default;
    virtual void userSessionStarted(const std::string& user) = 0;
    virtual void userSessionEnded(const std::string& user) = 0;
};

} // namespace ulvarend
