#pragma once

#include "interfaces/Credentials.h"
#include "models/Enums.h"
#include "models/Usage.h"

#include <functional>
#include <optional>
#include <string>

namespace ulvarend {

// A transport or encoding failure, described for the log.
struct RequestError {
    std::string description;
};

using SuccessCallback = std::function<void()>;
using FailureCallback = std::function<void(const std::optional<RequestError>&)>;

// `send` returns at once; exactly one of the callbacks (either may be empty) runs later on a
// thread of the HTTP client.
class RequestHandlerProtocol {
public:
    virtual ~RequestHandlerProtocol() = default;
    virtual void send(UsagePtr usage, UsageType usageType, const Credentials& credentials,
                      SuccessCallback onSuccess, FailureCallback onFailure) = 0;
};

} // namespace ulvarend
