#include "platform/Database.h"

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <sqlite3.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <unordered_map>

namespace ulvarend::platform {
namespace {

constexpr std::chrono::milliseconds kBusyTimeout{5000};
// More distinct statements than a connection's user runs; past it the kept ones are dropped.
constexpr std::size_t kMaxPrepared = 16;

DatabaseError translate(const SQLite::Exception& error) {
    const int primary = error.getErrorCode() & 0xff;
    const bool damaged = primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
    return DatabaseError(error.what(),
                         damaged ? DatabaseDamage::fileDamaged : DatabaseDamage::none);
}

// Binds `parameters` in order; any the statement has beyond them are NULL, as in a new one.
void bindAll(SQLite::Statement& statement, const std::vector<DatabaseValue>& parameters) {
    statement.clearBindings();
    int index = 1;
    for (const auto& value : parameters) {
        if (const auto* integer = std::get_if<std::int64_t>(&value)) {
            statement.bind(index, static_cast<int64_t>(*integer));
        } else {
            statement.bind(index, std::get<std::string>(value));
        }
        ++index;
    }
}

void makeOwnerOnlyFile(const std::filesystem::path& file) {
    // Made here rather than by SQLite so that it is owner-only from the start; SQLite gives
    // its journal files the mode of the database file.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw DatabaseError(std::system_category().message(errno), DatabaseDamage::none);
    }
    ::fchmod(fd, 0600);
    ::close(fd);
}

std::unique_ptr<SQLite::Database> connect(const std::string& name, int flags) {
    auto db = std::make_unique<SQLite::Database>(name, flags | SQLite::OPEN_FULLMUTEX,
                                                 static_cast<int>(kBusyTimeout.count()));
    // A double-quoted name that matches no column must be an error, not a text literal:
    // otherwise a table of another layout reads back constant strings without complaint.
    sqlite3_db_config(db->getHandle(), SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(db->getHandle(), SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    return db;
}

// Leaves a kept statement as if newly prepared, whatever became of its run: finished, failed
// or left midway. A statement left midway would hold its read transaction open.
class ResetAfterUse {
public:
    explicit ResetAfterUse(SQLite::Statement& statement_) : statement(statement_) {}
    ResetAfterUse(const ResetAfterUse&) = delete;
    ResetAfterUse& operator=(const ResetAfterUse&) = delete;
    ~ResetAfterUse() { statement.tryReset(); }

private:
    SQLite::Statement& statement;
};

class SqliteDatabase final : public Database {
public:
    SqliteDatabase(const std::string& name, int flags_, std::filesystem::path file_)
        : flags(flags_), file(std::move(file_)), db(connect(name, flags_)) {}

    std::filesystem::path replaceIfDamaged(const std::string& suffix) override {
        std::lock_guard lock(mutex);
        try {
            SQLite::Statement check(*db, "PRAGMA quick_check(1)");
            if (check.executeStep() && check.getColumn(0).getString() == "ok") {
                return {};
            }
        } catch (const SQLite::Exception& error) {
            if (!translate(error).fileIsDamaged()) {
                throw translate(error);
            }
        }
        // Moved before the old connection closes, which would remove the -wal and -shm files.
        auto moved = moveDatabaseAside(file, suffix);
        prepared.clear(); // a connection closes only once its statements are gone
        db.reset();
        makeOwnerOnlyFile(file);
        try {
            db = connect(file.string(), flags);
        } catch (const SQLite::Exception& error) {
            throw translate(error);
        }
        return moved;
    }

    void execute(const std::string& sql, const std::vector<DatabaseValue>& parameters) override {
        std::lock_guard lock(mutex);
        try {
            SQLite::Statement& statement = preparedFor(sql);
            const ResetAfterUse reset(statement);
            bindAll(statement, parameters);
            statement.exec();
        } catch (const SQLite::Exception& error) {
            throw translate(error);
        }
    }

    std::vector<DatabaseRow> query(const std::string& sql,
                                   const std::vector<DatabaseValue>& parameters) override {
        std::lock_guard lock(mutex);
        try {
            SQLite::Statement& statement = preparedFor(sql);
            const ResetAfterUse reset(statement);
            bindAll(statement, parameters);
            std::vector<DatabaseRow> rows;
            const int columns = statement.getColumnCount();
            while (statement.executeStep()) {
                std::vector<DatabaseRow::Cell> cells;
                cells.reserve(static_cast<std::size_t>(columns));
                for (int i = 0; i < columns; ++i) {
                    const SQLite::Column column = statement.getColumn(i);
                    DatabaseRow::Cell cell;
                    if (column.getType() == SQLITE_INTEGER) {
                        // The text SQLite would make of it, without its converting in place.
                        cell.integer = column.getInt64();
                        cell.text = std::to_string(cell.integer);
                    } else {
                        cell.text = column.getString();
                        cell.integer = column.getInt64();
                    }
                    cells.push_back(std::move(cell));
                }
                rows.emplace_back(std::move(cells));
            }
            return rows;
        } catch (const SQLite::Exception& error) {
            throw translate(error);
        }
    }

private:
    // Gone only when a replacement failed to open.
    SQLite::Database& connection() {
        if (!db) {
            throw DatabaseError("the database could not be opened again", DatabaseDamage::none);
        }
        return *db;
    }

    // The statement for `sql`, prepared on first use and kept: the store runs the same few
    // statements over and over, and preparing one costs as much as reading a batch of rows
    // through an index. Called with `mutex` held.
    SQLite::Statement& preparedFor(const std::string& sql) {
        if (const auto found = prepared.find(sql); found != prepared.end()) {
            return *found->second;
        }
        auto statement = std::make_unique<SQLite::Statement>(connection(), sql);
        if (prepared.size() >= kMaxPrepared) {
            prepared.clear();
        }
        return *prepared.emplace(sql, std::move(statement)).first->second;
    }

    const int flags;
    const std::filesystem::path file;
    std::mutex mutex;
    std::unique_ptr<SQLite::Database> db;
    // Declared after `db`, so that they are finalized before it closes.
    std::unordered_map<std::string, std::unique_ptr<SQLite::Statement>> prepared;
};

std::unique_ptr<Database> open(const std::string& name, int flags, std::filesystem::path file) {
    try {
        return std::make_unique<SqliteDatabase>(name, flags, std::move(file));
    } catch (const SQLite::Exception& error) {
        throw translate(error);
    }
}

} // namespace

std::unique_ptr<Database> openDatabaseFile(const std::filesystem::path& file) {
    makeOwnerOnlyFile(file);
    return open(file.string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE, file);
}

std::filesystem::path moveDatabaseAside(const std::filesystem::path& file,
                                        const std::string& suffix) {
    std::filesystem::path moved = file;
    moved += suffix;
    std::filesystem::rename(file, moved);
    for (const char* companion : {"-journal", "-wal", "-shm"}) {
        std::filesystem::path from = file;
        from += companion;
        std::filesystem::path to = moved;
        to += companion;
        std::error_code error;
        if (std::filesystem::exists(from, error)) {
            std::filesystem::rename(from, to, error);
            if (error) {
                // A journal left beside a new file would be applied to it; rather lose it.
                std::filesystem::remove(from, error);
            }
        }
    }
    return moved;
}

} // namespace ulvarend::platform
