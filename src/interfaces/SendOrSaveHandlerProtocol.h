#pragma once

#include "models/Usage.h"

#include <cstdint>

namespace ulvarend {

class SendOrSaveHandlerProtocol {
public:
    virtual ~SendOrSaveHandlerProtocol() = default;
    virtual void sendOrSave(UsagePtr usage, bool fromPersistence) = 0;
    virtual void sendSomeSavedUsages(std::int64_t limitOfEach) = 0;
};

} // namespace ulvarend
