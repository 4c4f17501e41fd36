#pragma once

#include <string>

namespace ulvarend {

// HTTP Basic authentication for the collection server.
struct Credentials {
    std::string username;
    std::string password;

    bool operator==(const Credentials&) const = default;
};

} // namespace ulvarend
