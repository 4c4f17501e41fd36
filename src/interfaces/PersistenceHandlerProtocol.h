#pragma once

#include "models/Usage.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace ulvarend {

// Safe to call from any thread.
class PersistenceHandlerProtocol {
public:
    virtual ~PersistenceHandlerProtocol() = default;
    // False when the row could not be stored; the store has logged why.
    virtual bool save(const Usage& usage) = 0;
    virtual void deleteUsage(const Usage& usage) = 0;
    virtual std::vector<std::shared_ptr<DeviceUsage>> fetchDeviceUsages(std::int64_t limit) = 0;
    virtual std::vector<std::shared_ptr<AppUsage>> fetchAllAppUsages(std::int64_t limit) = 0;
};

} // namespace ulvarend
