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
    // False when the row could not be stored; the store has logged why, with the record, and
    // keeps the record in memory (a bounded number of them) to store it with a later save or
    // fetch, or to hand it out through takeUnstoredUsages.
    virtual bool save(const Usage& usage) = 0;
    virtual void deleteUsage(const Usage& usage) = 0;
    virtual std::vector<std::shared_ptr<DeviceUsage>> fetchDeviceUsages(std::int64_t limit) = 0;
    virtual std::vector<std::shared_ptr<AppUsage>> fetchAllAppUsages(std::int64_t limit) = 0;
    // The records that could not be stored and are still only in memory, oldest first; the
    // store lets go of them. The caller owns them from then on.
    virtual std::vector<UsagePtr> takeUnstoredUsages() = 0;
};

} // namespace ulvarend
