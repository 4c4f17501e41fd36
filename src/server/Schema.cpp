#include "server/Schema.h"

namespace ulvarend::server {

// Times of records are kept as the agent sent them and receive times to the millisecond, both
// in UTC; in SQLite as RFC 3339 texts, which sort as the times do. `members` is kept beside the
// records, in the same transaction, so that the status page reads thousands of rows rather than
// millions; the (received_at, household) indexes cover the page's counts of recent records.
const std::vector<std::vector<std::string>>& sqliteMigrations() {
    static const std::vector<std::vector<std::string>> migrations = {
        {
            "CREATE TABLE app_usages ("
            " id INTEGER PRIMARY KEY,"
            " participant_identifier TEXT NOT NULL, household TEXT NOT NULL,"
            " member TEXT NOT NULL, device_model_name TEXT NOT NULL,"
            " user_count INTEGER NOT NULL, date TEXT NOT NULL, package TEXT NOT NULL,"
            " duration INTEGER NOT NULL, received_at TEXT NOT NULL,"
            " UNIQUE (participant_identifier, date, package, duration))",
            "CREATE TABLE device_usages ("
            " id INTEGER PRIMARY KEY,"
            " participant_identifier TEXT NOT NULL, household TEXT NOT NULL,"
            " member TEXT NOT NULL, device_model_name TEXT NOT NULL,"
            " user_count INTEGER NOT NULL, timestamp TEXT NOT NULL,"
            " event_type INTEGER NOT NULL, received_at TEXT NOT NULL,"
            " UNIQUE (participant_identifier, timestamp, event_type))",
            "CREATE TABLE members ("
            " household TEXT NOT NULL, member TEXT NOT NULL,"
            " first_received TEXT NOT NULL, last_received TEXT NOT NULL,"
            " PRIMARY KEY (household, member)) WITHOUT ROWID",
            "CREATE TABLE quarantine ("
            " id INTEGER PRIMARY KEY, received_at TEXT NOT NULL, path TEXT NOT NULL,"
            " reason TEXT NOT NULL, body BLOB NOT NULL)",
            "CREATE INDEX app_usages_received ON app_usages (received_at, household)",
            "CREATE INDEX device_usages_received ON device_usages (received_at, household)",
            "CREATE INDEX app_usages_date ON app_usages (date)",
            "CREATE INDEX device_usages_timestamp ON device_usages (timestamp)",
        },
    };
    return migrations;
}

const std::vector<std::vector<std::string>>& postgresMigrations() {
    static const std::vector<std::vector<std::string>> migrations = {
        {
            "CREATE TABLE app_usages ("
            " id BIGSERIAL PRIMARY KEY,"
            " participant_identifier TEXT NOT NULL, household TEXT NOT NULL,"
            " member TEXT NOT NULL, device_model_name TEXT NOT NULL,"
            " user_count BIGINT NOT NULL, date TIMESTAMPTZ NOT NULL, package TEXT NOT NULL,"
            " duration BIGINT NOT NULL, received_at TIMESTAMPTZ NOT NULL,"
            " UNIQUE (participant_identifier, date, package, duration))",
            "CREATE TABLE device_usages ("
            " id BIGSERIAL PRIMARY KEY,"
            " participant_identifier TEXT NOT NULL, household TEXT NOT NULL,"
            " member TEXT NOT NULL, device_model_name TEXT NOT NULL,"
            " user_count BIGINT NOT NULL, timestamp TIMESTAMPTZ NOT NULL,"
            " event_type SMALLINT NOT NULL, received_at TIMESTAMPTZ NOT NULL,"
            " UNIQUE (participant_identifier, timestamp, event_type))",
            "CREATE TABLE members ("
            " household TEXT NOT NULL, member TEXT NOT NULL,"
            " first_received TIMESTAMPTZ NOT NULL, last_received TIMESTAMPTZ NOT NULL,"
            " PRIMARY KEY (household, member))",
            "CREATE TABLE quarantine ("
            " id BIGSERIAL PRIMARY KEY, received_at TIMESTAMPTZ NOT NULL, path TEXT NOT NULL,"
            " reason TEXT NOT NULL, body BYTEA NOT NULL)",
            "CREATE INDEX app_usages_received ON app_usages (received_at, household)",
            "CREATE INDEX device_usages_received ON device_usages (received_at, household)",
            "CREATE INDEX app_usages_date ON app_usages (date)",
            "CREATE INDEX device_usages_timestamp ON device_usages (timestamp)",
        },
    };
    return migrations;
}

} // namespace ulvarend::server
