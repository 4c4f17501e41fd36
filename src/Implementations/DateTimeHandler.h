#pragma once

#include "interfaces/DateTimeHandlerProtocol.h"

namespace ulvarend {

class DateTimeHandler final : public DateTimeHandlerProtocol {
public:
    TimePoint now() override;
};

} // namespace ulvarend
