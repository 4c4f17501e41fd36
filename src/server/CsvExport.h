#pragma once

#include "server/RecordStore.h"

#include <string>

namespace ulvarend::server {

// One CSV field as RFC 4180 has it: quoted, with quotes doubled, when it holds a comma, a
// quote or a line break; otherwise as it is.
std::string csvField(const std::string& text);

// Writes app_usages.csv and device_usages.csv into `directory`: UTF-8, a header line, CRLF line
// ends, the records whose own time is in [from, to). Each file appears complete or not at all
// (written aside and renamed). Errors: false and `whyNot` for a file that cannot be written;
// StoreUnavailable from the store passes through.
bool exportCsv(RecordStore& store, TimePoint from, TimePoint to, const std::string& directory,
               std::string* whyNot);

} // namespace ulvarend::server
