#pragma once

#include "server/RecordStore.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ulvarend::server {

// What this process has answered since it started, for the page's footer and the log.
struct RequestCounts {
    std::uint64_t stored = 0;
    std::uint64_t duplicates = 0;
    std::uint64_t invalid = 0;
    std::uint64_t unauthorized = 0;
    std::uint64_t unavailable = 0;
};

// The status page, a complete HTML document without scripts: one row per household, those
// silent for 24 hours marked, and a bar chart of records per day. Every text from the database
// is HTML-escaped. Pure: the caller reads the store.
std::string renderStatusPage(const std::vector<HouseholdSummary>& households,
                             const std::vector<DayCount>& days, std::int64_t quarantined,
                             const RequestCounts& counts, TimePoint now);

// `text` safe between HTML tags and inside quoted attribute values.
std::string escapeHtml(const std::string& text);

} // namespace ulvarend::server
