#pragma once

#include "models/Time.h"
#include "models/Usage.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ulvarend::server {

// The database is unreachable or a statement failed: nothing was stored, the caller answers so
// that the sender tries again.
class StoreUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class InsertOutcome { stored, duplicate };

// One row of the status page: a household is the part of the participant identifier before its
// first ":".
struct HouseholdSummary {
    std::string household;
    std::int64_t members = 0;
    TimePoint firstReceived;
    TimePoint lastReceived;
    std::int64_t lastDay = 0;
    std::int64_t lastWeek = 0;
};

struct DayCount {
    std::string day; // YYYY-MM-DD, UTC
    std::int64_t records = 0;
};

// One exported record, its fields in the order of exportColumns(type).
using ExportRow = std::vector<std::string>;

std::vector<std::string> exportColumns(UsageType type);

// Where the received records are kept, each once. Both stores bring their schema up to date
// when they open and keep no state a second server process would need.
// Threads: every call may come from any thread at the same time.
// Errors: every call throws StoreUnavailable when the database cannot do it; a call that
// throws has changed nothing.
class RecordStore {
public:
    virtual ~RecordStore() = default;

    // Durable when it returns. A record equal in its key to one already kept (participant,
    // time, package and duration; or participant, time and event) is a duplicate and is not
    // kept twice.
    virtual InsertOutcome insert(const Usage& usage, TimePoint receivedAt) = 0;
    // Keeps a body that was not a valid record, for staff to look at.
    virtual void quarantine(std::string_view path, std::string_view body, std::string_view reason,
                            TimePoint receivedAt) = 0;

    virtual std::vector<HouseholdSummary> households(TimePoint now) = 0;
    // Records received per UTC day in [from, to), oldest first; days without any are left out.
    virtual std::vector<DayCount> recordsPerDay(TimePoint from, TimePoint to) = 0;
    virtual std::int64_t quarantined() = 0;
    // The records of `type` whose own time is in [from, to), oldest first, one call each.
    virtual void exportRecords(UsageType type, TimePoint from, TimePoint to,
                               const std::function<void(const ExportRow&)>& row) = 0;
    // The schema version the database is at, for the log and the tests.
    virtual int schemaVersion() = 0;
};

// An SQLite file `records.sqlite3` in `directory` (made when missing), in WAL mode with every
// commit synced.
std::shared_ptr<RecordStore> makeSqliteStore(const std::string& directory);

// A PostgreSQL database named by a libpq connection string; up to `connections` connections,
// opened when first needed and opened again after a failure.
std::shared_ptr<RecordStore> makePostgresStore(const std::string& connectionString,
                                               std::size_t connections);

// The study's id and the member's name of a participant identifier, split at its first ":".
std::pair<std::string, std::string> splitParticipant(const std::string& participantIdentifier);

// The time the server keeps receive times in: RFC 3339 in UTC, to the millisecond.
std::string formatReceived(TimePoint time);

} // namespace ulvarend::server
