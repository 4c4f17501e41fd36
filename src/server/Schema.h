#pragma once

#include <string>
#include <vector>

namespace ulvarend::server {

// The schema of each store as a list of versions: version N is reached by running the
// statements of entry N-1 on a database at version N-1. Entries are only ever appended; a
// database is never changed by editing an entry that has been released.
const std::vector<std::vector<std::string>>& sqliteMigrations();
const std::vector<std::vector<std::string>>& postgresMigrations();

} // namespace ulvarend::server
