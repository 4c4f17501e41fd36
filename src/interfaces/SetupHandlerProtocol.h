#pragma once

#include <string>

namespace ulvarend {

class SetupHandlerProtocol {
public:
    virtual ~SetupHandlerProtocol() = default;
    // True when the link was valid and its settings are stored.
    virtual bool setup(const std::string& url) = 0;
    virtual void showSetupResult(bool success) = 0;
};

} // namespace ulvarend
