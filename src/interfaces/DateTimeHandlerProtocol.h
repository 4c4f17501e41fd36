#pragma once

#include "models/Time.h"

namespace ulvarend {

class DateTimeHandlerProtocol {
public:
    virtual ~DateTimeHandlerProtocol() = default;
    virtual TimePoint now() = 0;
};

} // namespace ulvarend
