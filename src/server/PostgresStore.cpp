// The shared store: a PostgreSQL database that several server processes write into at once. A
// process keeps only a pool of connections; whatever one process stores, every other sees.

#include "server/RecordStore.h"
#include "server/Schema.h"

#include <condition_variable>
#include <libpq-fe.h>
#include <mutex>
#include <set>
#include <type_traits>

namespace ulvarend::server {
namespace {

constexpr auto kDay = std::chrono::hours(24);
// Any number that no other program takes the advisory lock with: two servers that start at
// once must not both migrate.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(7405211923)";
constexpr const char* kReceivedForm = "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'";
constexpr const char* kRecordForm = "'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'";

TimePoint parseReceived(const std::string& text) {
    if (text.empty()) {
        return TimePoint{};
    }
    return parseUtc(std::string_view(text).substr(0, text.size() - 1), UtcForm::milliseconds)
        .value_or(TimePoint{});
}

std::string utcText(const std::string& column, const char* form) {
    return "to_char(" + column + " AT TIME ZONE 'UTC', " + form + ")";
}

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

class PostgresStore final : public RecordStore {
public:
    PostgresStore(std::string connectionString_, std::size_t connections)
        : connectionString(std::move(connectionString_)),
          limit(connections == 0 ? 1 : connections) {
        withConnection([&](PGconn* connection) { migrate(connection); });
    }

    ~PostgresStore() override {
        for (PGconn* connection : idle) {
            PQfinish(connection);
        }
    }

    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    InsertOutcome insert(const Usage& usage, TimePoint receivedAt) override {
        const auto [household, member] = splitParticipant(usage.participantIdentifier);
        const std::string received = formatReceived(receivedAt);
        const std::string time = formatRfc3339(usage.timeStamp);
        const std::string userCount = std::to_string(usage.userCount);
        // One statement, so one transaction: the record and what the status page reads of it
        // are kept together or not at all. The second insert affects a row only when the first
        // did, so its count tells a new record from a duplicate.
        static const std::string members =
            " INSERT INTO members (household, member, first_received, last_received)"
            " SELECT household, member, received_at, received_at FROM inserted"
            " ON CONFLICT (household, member) DO UPDATE SET last_received ="
            " greatest(members.last_received, excluded.last_received)";
        return withConnection([&](PGconn* connection) {
            Result result;
            if (const auto* app = dynamic_cast<const AppUsage*>(&usage)) {
                const std::string duration = std::to_string(app->duration);
                result =
                    prepared(connection, "ulvarend_insert_app",
                             "WITH inserted AS (INSERT INTO app_usages (participant_identifier,"
                             " household, member, device_model_name, user_count, date, package,"
                             " duration, received_at) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)"
                             " ON CONFLICT DO NOTHING RETURNING household, member, received_at)" +
                                 members,
                             {usage.participantIdentifier, household, member, usage.deviceModelName,
                              userCount, time, app->package, duration, received});
            } else {
                const auto& device = dynamic_cast<const DeviceUsage&>(usage);
                const std::string event = std::to_string(device.eventType);
                result = prepared(
                    connection, "ulvarend_insert_device",
                    "WITH inserted AS (INSERT INTO device_usages (participant_identifier,"
                    " household, member, device_model_name, user_count, timestamp, event_type,"
                    " received_at) VALUES ($1, $2, $3, $4, $5, $6, $7, $8)"
                    " ON CONFLICT DO NOTHING RETURNING household, member, received_at)" +
                        members,
                    {usage.participantIdentifier, household, member, usage.deviceModelName,
                     userCount, time, event, received});
            }
            return std::string(PQcmdTuples(result.get())) == "1" ? InsertOutcome::stored
                                                                 : InsertOutcome::duplicate;
        });
    }

    void quarantine(std::string_view path, std::string_view body, std::string_view reason,
                    TimePoint receivedAt) override {
        withConnection([&](PGconn* connection) {
            const std::string received = formatReceived(receivedAt);
            const std::string where(path);
            const std::string why(reason);
            const char* values[] = {received.c_str(), where.c_str(), why.c_str(), body.data()};
            const int lengths[] = {0, 0, 0, static_cast<int>(body.size())};
            const int formats[] = {0, 0, 0, 1};
            Result result(PQexecParams(connection,
                                       "INSERT INTO quarantine (received_at, path, reason, body)"
                                       " VALUES ($1, $2, $3, $4)",
                                       4, nullptr, values, lengths, formats, 0));
            check(connection, result, PGRES_COMMAND_OK);
        });
    }

    std::vector<HouseholdSummary> households(TimePoint now) override {
        return withConnection([&](PGconn* connection) {
            std::vector<HouseholdSummary> rows;
            Result members = execute(
                connection,
                "SELECT household, count(*), " + utcText("min(first_received)", kReceivedForm) +
                    ", " + utcText("max(last_received)", kReceivedForm) +
                    " FROM members GROUP BY household ORDER BY household COLLATE \"C\"",
                {}, PGRES_TUPLES_OK);
            for (int i = 0; i < PQntuples(members.get()); ++i) {
                HouseholdSummary row;
                row.household = PQgetvalue(members.get(), i, 0);
                row.members = std::stoll(PQgetvalue(members.get(), i, 1));
                row.firstReceived = parseReceived(PQgetvalue(members.get(), i, 2));
                row.lastReceived = parseReceived(PQgetvalue(members.get(), i, 3));
                rows.push_back(std::move(row));
            }
            Result recent = execute(
                connection,
                "SELECT household COLLATE \"C\" AS h, count(*) FILTER (WHERE received_at >= $1),"
                " count(*) FROM (SELECT household, received_at FROM app_usages"
                " WHERE received_at >= $2 UNION ALL SELECT household, received_at"
                " FROM device_usages WHERE received_at >= $2) AS recent GROUP BY h ORDER BY h",
                {formatReceived(now - kDay), formatReceived(now - 7 * kDay)}, PGRES_TUPLES_OK);
            auto next = rows.begin();
            for (int i = 0; i < PQntuples(recent.get()); ++i) {
                const std::string household = PQgetvalue(recent.get(), i, 0);
                while (next != rows.end() && next->household < household) {
                    ++next;
                }
                if (next != rows.end() && next->household == household) {
                    next->lastDay = std::stoll(PQgetvalue(recent.get(), i, 1));
                    next->lastWeek = std::stoll(PQgetvalue(recent.get(), i, 2));
                }
            }
            return rows;
        });
    }

    std::vector<DayCount> recordsPerDay(TimePoint from, TimePoint to) override {
        return withConnection([&](PGconn* connection) {
            Result result = execute(
                connection,
                "SELECT to_char(received_at AT TIME ZONE 'UTC', 'YYYY-MM-DD') AS day, count(*)"
                " FROM (SELECT received_at FROM app_usages WHERE received_at >= $1 AND"
                " received_at < $2 UNION ALL SELECT received_at FROM device_usages WHERE"
                " received_at >= $1 AND received_at < $2) AS recent GROUP BY day ORDER BY day",
                {formatReceived(from), formatReceived(to)}, PGRES_TUPLES_OK);
            std::vector<DayCount> days;
            for (int i = 0; i < PQntuples(result.get()); ++i) {
                days.push_back(
                    {PQgetvalue(result.get(), i, 0), std::stoll(PQgetvalue(result.get(), i, 1))});
            }
            return days;
        });
    }

    std::int64_t quarantined() override {
        return withConnection([&](PGconn* connection) {
            Result result =
                execute(connection, "SELECT count(*) FROM quarantine", {}, PGRES_TUPLES_OK);
            return static_cast<std::int64_t>(std::stoll(PQgetvalue(result.get(), 0, 0)));
        });
    }

    void exportRecords(UsageType type, TimePoint from, TimePoint to,
                       const std::function<void(const ExportRow&)>& row) override {
        const std::string query =
            type == UsageType::app
                ? "SELECT participant_identifier, household, member, device_model_name,"
                  " user_count, " +
                      utcText("date", kRecordForm) + ", package, duration, " +
                      utcText("received_at", kReceivedForm) +
                      " FROM app_usages WHERE date >= $1 AND date < $2 ORDER BY date, id"
                : "SELECT participant_identifier, household, member, device_model_name,"
                  " user_count, " +
                      utcText("timestamp", kRecordForm) + ", event_type, " +
                      utcText("received_at", kReceivedForm) +
                      " FROM device_usages WHERE timestamp >= $1 AND timestamp < $2"
                      " ORDER BY timestamp, id";
        withConnection([&](PGconn* connection) {
            // Rows one at a time, so that a million of them need no more memory than one.
            const std::string begin = formatRfc3339(from);
            const std::string end = formatRfc3339(to);
            const char* values[] = {begin.c_str(), end.c_str()};
            if (PQsendQueryParams(connection, query.c_str(), 2, nullptr, values, nullptr, nullptr,
                                  0) != 1 ||
                PQsetSingleRowMode(connection) != 1) {
                throw StoreUnavailable(std::string("PostgreSQL: ") + PQerrorMessage(connection));
            }
            ExportRow fields;
            std::string failure;
            while (PGresult* raw = PQgetResult(connection)) {
                Result result(raw);
                const auto status = PQresultStatus(raw);
                if (status == PGRES_SINGLE_TUPLE) {
                    fields.clear();
                    for (int i = 0; i < PQnfields(raw); ++i) {
                        fields.emplace_back(PQgetvalue(raw, 0, i));
                    }
                    if (failure.empty()) {
                        row(fields);
                    }
                } else if (status != PGRES_TUPLES_OK && failure.empty()) {
                    failure = PQresultErrorMessage(raw);
                }
            }
            if (!failure.empty()) {
                throw StoreUnavailable("PostgreSQL: " + failure);
            }
        });
    }

    int schemaVersion() override {
        return withConnection([&](PGconn* connection) {
            Result result =
                execute(connection, "SELECT coalesce(max(version), 0) FROM schema_version", {},
                        PGRES_TUPLES_OK);
            return std::stoi(PQgetvalue(result.get(), 0, 0));
        });
    }

private:
    static void check(PGconn* connection, const Result& result, ExecStatusType expected) {
        if (!result || PQresultStatus(result.get()) != expected) {
            throw StoreUnavailable(
                std::string("PostgreSQL: ") +
                (result ? PQresultErrorMessage(result.get()) : PQerrorMessage(connection)));
        }
    }

    static Result execute(PGconn* connection, const std::string& query,
                          const std::vector<std::string>& parameters, ExecStatusType expected) {
        std::vector<const char*> values;
        for (const auto& parameter : parameters) {
            values.push_back(parameter.c_str());
        }
        Result result(PQexecParams(connection, query.c_str(), static_cast<int>(values.size()),
                                   nullptr, values.data(), nullptr, nullptr, 0));
        check(connection, result, expected);
        return result;
    }

    // Runs a statement prepared once per connection: records arrive by the thousand, and
    // planning the same insert each time costs the database more than running it.
    Result prepared(PGconn* connection, const char* name, const std::string& query,
                    const std::vector<std::string>& parameters) {
        bool known = false;
        {
            std::lock_guard lock(mutex);
            known = preparedOn.count({connection, name}) > 0;
        }
        if (!known) {
            Result made(PQprepare(connection, name, query.c_str(),
                                  static_cast<int>(parameters.size()), nullptr));
            check(connection, made, PGRES_COMMAND_OK);
            std::lock_guard lock(mutex);
            preparedOn.insert({connection, name});
        }
        std::vector<const char*> values;
        for (const auto& parameter : parameters) {
            values.push_back(parameter.c_str());
        }
        Result result(PQexecPrepared(connection, name, static_cast<int>(values.size()),
                                     values.data(), nullptr, nullptr, 0));
        check(connection, result, PGRES_COMMAND_OK);
        return result;
    }

    // Closes a connection and forgets what was prepared on it (a new one may get its address).
    void finish(PGconn* connection) {
        {
            std::lock_guard lock(mutex);
            for (auto it = preparedOn.begin(); it != preparedOn.end();) {
                it = it->first == connection ? preparedOn.erase(it) : std::next(it);
            }
        }
        PQfinish(connection);
    }

    PGconn* connect() {
        // The study's own connect_timeout, when its string has one, wins over ours.
        const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
        const char* values[] = {"5", "ulvarend-server", connectionString.c_str(), nullptr};
        PGconn* connection = PQconnectdbParams(keys, values, 1);
        if (PQstatus(connection) != CONNECTION_OK) {
            const std::string why = PQerrorMessage(connection);
            PQfinish(connection);
            throw StoreUnavailable("cannot connect to PostgreSQL: " + why);
        }
        // Notices ("relation already exists, skipping") are no news to a study; errors come
        // back with their results.
        PQsetNoticeProcessor(
            connection, [](void*, const char*) {}, nullptr);
        return connection;
    }

    // Runs `work` with a pooled connection. A connection that broke under it is closed rather
    // than handed out again, and the next caller opens a fresh one.
    template <typename Work> std::invoke_result_t<Work&, PGconn*> withConnection(Work&& work) {
        PGconn* connection = nullptr;
        {
            std::unique_lock lock(mutex);
            returned.wait(lock, [&] { return !idle.empty() || opened < limit; });
            if (!idle.empty()) {
                connection = idle.back();
                idle.pop_back();
            } else {
                ++opened;
            }
        }
        try {
            if (connection == nullptr) {
                connection = connect();
            }
            if constexpr (std::is_void_v<decltype(work(connection))>) {
                work(connection);
                giveBack(connection);
            } else {
                auto result = work(connection);
                giveBack(connection);
                return result;
            }
        } catch (...) {
            if (connection != nullptr && PQstatus(connection) == CONNECTION_OK &&
                PQtransactionStatus(connection) == PQTRANS_IDLE) {
                giveBack(connection);
            } else {
                if (connection != nullptr) {
                    finish(connection);
                }
                std::lock_guard lock(mutex);
                --opened;
                returned.notify_one();
            }
            throw;
        }
    }

    void giveBack(PGconn* connection) {
        std::lock_guard lock(mutex);
        idle.push_back(connection);
        returned.notify_one();
    }

    void migrate(PGconn* connection) {
        const auto& migrations = postgresMigrations();
        execute(connection, "BEGIN", {}, PGRES_COMMAND_OK);
        try {
            execute(connection, kMigrationLock, {}, PGRES_TUPLES_OK);
            execute(connection,
                    "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", {},
                    PGRES_COMMAND_OK);
            Result current =
                execute(connection, "SELECT coalesce(max(version), 0) FROM schema_version", {},
                        PGRES_TUPLES_OK);
            int version = std::stoi(PQgetvalue(current.get(), 0, 0));
            if (version > static_cast<int>(migrations.size())) {
                throw StoreUnavailable("the PostgreSQL store is at schema version " +
                                       std::to_string(version) + ", newer than this server knows");
            }
            for (; version < static_cast<int>(migrations.size()); ++version) {
                for (const auto& statement : migrations[static_cast<std::size_t>(version)]) {
                    execute(connection, statement, {}, PGRES_COMMAND_OK);
                }
                execute(connection, "INSERT INTO schema_version VALUES ($1)",
                        {std::to_string(version + 1)}, PGRES_COMMAND_OK);
            }
            execute(connection, "COMMIT", {}, PGRES_COMMAND_OK);
        } catch (...) {
            Result ignored(PQexec(connection, "ROLLBACK"));
            throw;
        }
    }

    const std::string connectionString;
    const std::size_t limit;
    std::mutex mutex;
    std::condition_variable returned;
    std::vector<PGconn*> idle;
    std::size_t opened = 0;
    std::set<std::pair<PGconn*, std::string>> preparedOn;
};

} // namespace

std::shared_ptr<RecordStore> makePostgresStore(const std::string& connectionString,
                                               std::size_t connections) {
    return std::make_shared<PostgresStore>(connectionString, connections);
}

} // namespace ulvarend::server
