#pragma once

#include "models/Usage.h"

#include <cstdint>

namespace ulvarend {

class SendOrSaveHandlerProtocol {
public:
    virtual ~SendOrSaveHandlerProtocol() = default;
    virtual void sendOrSave(UsagePtr usage, bool fromPersistence) = 0;
    virtual void sendSomeSavedUsages(std::int64_t limitOfEach) = 0;
    // Called on the way out: every record of a direct send that has no outcome yet is saved
    // to the local store; an outcome that arrives later changes nothing.
    virtual void saveUnfinishedUsages() = 0;
};

} // namespace ulvarend
