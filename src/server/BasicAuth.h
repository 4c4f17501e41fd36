#pragma once

#include <array>
#include <string>

namespace ulvarend::server {

// One user name and password pair that requests must carry as HTTP Basic authentication.
// Threads: immutable after construction, so any thread may ask.
class BasicAuth {
public:
    BasicAuth(const std::string& username, const std::string& password);

    // True when `authorization` (the header's value) is this pair. The comparison takes the
    // same time whatever the value, so an attacker learns nothing from how long a "no" takes.
    bool admits(const std::string& authorization) const;

private:
    std::array<unsigned char, 32> expected{};
};

// "Basic " and the Base64 form of "username:password".
std::string basicAuthorization(const std::string& username, const std::string& password);

} // namespace ulvarend::server
