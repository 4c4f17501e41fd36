// The embedded store: one SQLite file in WAL mode, so that the status page and the export read
// while records are written. Every commit is synced (synchronous=FULL): a record answered 200
// survives a power cut.

#include "server/RecordStore.h"
#include "server/Schema.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <mutex>
#include <type_traits>

namespace ulvarend::server {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr auto kDay = std::chrono::hours(24);

std::string rfc3339(TimePoint time) {
    return formatRfc3339(time);
}

TimePoint parseReceived(const std::string& text) {
    // The kept form is formatUtc's milliseconds form with a Z added.
    const auto time =
        parseUtc(std::string_view(text).substr(0, text.size() - 1), UtcForm::milliseconds);
    return time.value_or(TimePoint{});
}

class SqliteStore final : public RecordStore {
public:
    explicit SqliteStore(const std::string& directory) {
        try {
            std::filesystem::create_directories(directory);
            path = (std::filesystem::path(directory) / "records.sqlite3").string();
            writer = open(SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
            writer->exec("PRAGMA journal_mode=WAL");
            migrate();
            reader = open(SQLite::OPEN_READONLY);
        } catch (const std::exception& error) {
            throw StoreUnavailable(std::string("cannot open the SQLite store: ") + error.what());
        }
    }

    // Group commit: the caller that finds no write running writes every record waiting at that
    // moment in one transaction with one sync, then wakes their callers. Each record is still
    // answered only after the commit that holds it; a failed batch fails all of its records,
    // which their senders send again.
    InsertOutcome insert(const Usage& usage, TimePoint receivedAt) override {
        Pending pending;
        pending.usage = &usage;
        pending.received = formatReceived(receivedAt);
        std::unique_lock lock(queueMutex);
        queue.push_back(&pending);
        while (!pending.done) {
            if (writing) {
                written.wait(lock);
                continue;
            }
            writing = true;
            std::vector<Pending*> batch;
            batch.swap(queue);
            lock.unlock();
            writeBatch(batch);
            lock.lock();
            writing = false;
            for (Pending* one : batch) {
                one->done = true;
            }
            written.notify_all();
        }
        if (pending.error) {
            std::rethrow_exception(pending.error);
        }
        return pending.outcome;
    }

    void quarantine(std::string_view where, std::string_view body, std::string_view reason,
                    TimePoint receivedAt) override {
        std::lock_guard lock(writeMutex);
        guarded([&] {
            SQLite::Statement statement(*writer, "INSERT INTO quarantine (received_at, path,"
                                                 " reason, body) VALUES (?, ?, ?, ?)");
            statement.bind(1, formatReceived(receivedAt));
            statement.bind(2, std::string(where));
            statement.bind(3, std::string(reason));
            statement.bind(4, body.data(), static_cast<int>(body.size()));
            statement.exec();
            return 0;
        });
    }

    std::vector<HouseholdSummary> households(TimePoint now) override {
        std::lock_guard lock(readMutex);
        return guarded([&] {
            std::vector<HouseholdSummary> rows;
            SQLite::Statement members(*reader, "SELECT household, count(*), min(first_received),"
                                               " max(last_received) FROM members GROUP BY household"
                                               " ORDER BY household");
            while (members.executeStep()) {
                HouseholdSummary row;
                row.household = members.getColumn(0).getString();
                row.members = members.getColumn(1).getInt64();
                row.firstReceived = parseReceived(members.getColumn(2).getString());
                row.lastReceived = parseReceived(members.getColumn(3).getString());
                rows.push_back(std::move(row));
            }
            SQLite::Statement recent(
                *reader, "SELECT household, sum(received_at >= ?1), count(*) FROM ("
                         " SELECT household, received_at FROM app_usages WHERE received_at >= ?2"
                         " UNION ALL SELECT household, received_at FROM device_usages"
                         " WHERE received_at >= ?2) GROUP BY household ORDER BY household");
            recent.bind(1, formatReceived(now - kDay));
            recent.bind(2, formatReceived(now - 7 * kDay));
            auto next = rows.begin();
            while (recent.executeStep()) {
                const std::string household = recent.getColumn(0).getString();
                while (next != rows.end() && next->household < household) {
                    ++next;
                }
                if (next != rows.end() && next->household == household) {
                    next->lastDay = recent.getColumn(1).getInt64();
                    next->lastWeek = recent.getColumn(2).getInt64();
                }
            }
            return rows;
        });
    }

    std::vector<DayCount> recordsPerDay(TimePoint from, TimePoint to) override {
        std::lock_guard lock(readMutex);
        return guarded([&] {
            std::vector<DayCount> days;
            SQLite::Statement statement(
                *reader,
                "SELECT substr(received_at, 1, 10) AS day, count(*) FROM ("
                " SELECT received_at FROM app_usages WHERE received_at >= ?1 AND received_at < ?2"
                " UNION ALL SELECT received_at FROM device_usages"
                " WHERE received_at >= ?1 AND received_at < ?2) GROUP BY day ORDER BY day");
            statement.bind(1, formatReceived(from));
            statement.bind(2, formatReceived(to));
            while (statement.executeStep()) {
                days.push_back(
                    {statement.getColumn(0).getString(), statement.getColumn(1).getInt64()});
            }
            return days;
        });
    }

    std::int64_t quarantined() override {
        std::lock_guard lock(readMutex);
        return guarded([&] {
            SQLite::Statement statement(*reader, "SELECT count(*) FROM quarantine");
            statement.executeStep();
            return statement.getColumn(0).getInt64();
        });
    }

    void exportRecords(UsageType type, TimePoint from, TimePoint to,
                       const std::function<void(const ExportRow&)>& row) override {
        // A connection of its own: an export of millions of rows must not hold up the page.
        guarded([&] {
            auto connection = open(SQLite::OPEN_READONLY);
            const std::string query =
                type == UsageType::app
                    ? "SELECT participant_identifier, household, member, device_model_name,"
                      " user_count, date, package, duration, received_at FROM app_usages"
                      " WHERE date >= ? AND date < ? ORDER BY date, id"
                    : "SELECT participant_identifier, household, member, device_model_name,"
                      " user_count, timestamp, event_type, received_at FROM device_usages"
                      " WHERE timestamp >= ? AND timestamp < ? ORDER BY timestamp, id";
            SQLite::Statement statement(*connection, query);
            statement.bind(1, rfc3339(from));
            statement.bind(2, rfc3339(to));
            ExportRow fields;
            while (statement.executeStep()) {
                fields.clear();
                for (int i = 0; i < statement.getColumnCount(); ++i) {
                    fields.push_back(statement.getColumn(i).getString());
                }
                row(fields);
            }
            return 0;
        });
    }

    int schemaVersion() override {
        std::lock_guard lock(writeMutex);
        return guarded([&] { return currentVersion(); });
    }

private:
    struct Pending {
        const Usage* usage = nullptr;
        std::string received;
        InsertOutcome outcome = InsertOutcome::duplicate;
        std::exception_ptr error;
        bool done = false;
    };

    void writeBatch(const std::vector<Pending*>& batch) {
        std::lock_guard lock(writeMutex);
        try {
            guarded([&] {
                writer->exec("BEGIN IMMEDIATE");
                try {
                    for (Pending* one : batch) {
                        one->outcome = insertOne(*one->usage, one->received);
                    }
                    writer->exec("COMMIT");
                } catch (...) {
                    rollback();
                    throw;
                }
                return 0;
            });
        } catch (...) {
            for (Pending* one : batch) {
                one->error = std::current_exception();
            }
        }
    }

    InsertOutcome insertOne(const Usage& usage, const std::string& received) {
        const auto [household, member] = splitParticipant(usage.participantIdentifier);
        int changed = 0;
        if (const auto* app = dynamic_cast<const AppUsage*>(&usage)) {
            auto& statement =
                cached(insertApp, "INSERT INTO app_usages (participant_identifier, household,"
                                  " member, device_model_name, user_count, date, package,"
                                  " duration, received_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"
                                  " ON CONFLICT DO NOTHING");
            bindAll(statement, usage.participantIdentifier, household, member,
                    usage.deviceModelName, usage.userCount, rfc3339(usage.timeStamp), app->package,
                    app->duration, received);
            changed = statement.exec();
        } else {
            const auto& device = dynamic_cast<const DeviceUsage&>(usage);
            auto& statement =
                cached(insertDevice, "INSERT INTO device_usages (participant_identifier,"
                                     " household, member, device_model_name, user_count,"
                                     " timestamp, event_type, received_at)"
                                     " VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING");
            bindAll(statement, usage.participantIdentifier, household, member,
                    usage.deviceModelName, usage.userCount, rfc3339(usage.timeStamp),
                    device.eventType, received);
            changed = statement.exec();
        }
        if (changed == 1) {
            auto& seen = cached(insertMember,
                                "INSERT INTO members (household, member, first_received,"
                                " last_received) VALUES (?1, ?2, ?3, ?3) ON CONFLICT (household,"
                                " member) DO UPDATE SET last_received = max(last_received,"
                                " excluded.last_received)");
            bindAll(seen, household, member, received);
            seen.exec();
        }
        return changed == 1 ? InsertOutcome::stored : InsertOutcome::duplicate;
    }

    // A statement prepared once on the writer and reset before each use.
    SQLite::Statement& cached(std::unique_ptr<SQLite::Statement>& statement, const char* sql) {
        if (!statement) {
            statement = std::make_unique<SQLite::Statement>(*writer, sql);
        }
        statement->reset();
        statement->clearBindings();
        return *statement;
    }

    std::unique_ptr<SQLite::Database> open(int flags) {
        auto database = std::make_unique<SQLite::Database>(path, flags | SQLite::OPEN_FULLMUTEX,
                                                           kBusyTimeoutMs);
        database->exec("PRAGMA synchronous=FULL");
        return database;
    }

    template <typename Work> std::invoke_result_t<Work&> guarded(Work&& work) {
        try {
            return work();
        } catch (const SQLite::Exception& error) {
            throw StoreUnavailable(std::string("SQLite: ") + error.what());
        }
    }

    template <typename... Values>
    static void bindAll(SQLite::Statement& statement, const Values&... values) {
        int index = 0;
        (statement.bind(++index, values), ...);
    }

    void rollback() {
        try {
            writer->exec("ROLLBACK");
        } catch (const SQLite::Exception&) {
            // SQLite has rolled back on its own after some failures; nothing is left open.
        }
    }

    int currentVersion() {
        return writer->execAndGet("SELECT coalesce(max(version), 0) FROM schema_version").getInt();
    }

    void migrate() {
        writer->exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        const auto& migrations = sqliteMigrations();
        writer->exec("BEGIN IMMEDIATE");
        try {
            int version = currentVersion();
            if (version > static_cast<int>(migrations.size())) {
                throw StoreUnavailable("the SQLite store is at schema version " +
                                       std::to_string(version) + ", newer than this server knows");
            }
            for (; version < static_cast<int>(migrations.size()); ++version) {
                for (const auto& statement : migrations[static_cast<std::size_t>(version)]) {
                    writer->exec(statement);
                }
                SQLite::Statement done(*writer, "INSERT INTO schema_version VALUES (?)");
                done.bind(1, version + 1);
                done.exec();
            }
            writer->exec("COMMIT");
        } catch (...) {
            rollback();
            throw;
        }
    }

    std::string path;
    std::mutex queueMutex;
    std::condition_variable written;
    std::vector<Pending*> queue;
    bool writing = false;
    std::mutex writeMutex;
    std::unique_ptr<SQLite::Database> writer;
    std::unique_ptr<SQLite::Statement> insertApp;
    std::unique_ptr<SQLite::Statement> insertDevice;
    std::unique_ptr<SQLite::Statement> insertMember;
    std::mutex readMutex;
    std::unique_ptr<SQLite::Database> reader;
};

} // namespace

std::shared_ptr<RecordStore> makeSqliteStore(const std::string& directory) {
    return std::make_shared<SqliteStore>(directory);
}

} // namespace ulvarend::server
