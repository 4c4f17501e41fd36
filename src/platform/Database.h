#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace ulvarend::platform {

// What a failure says about the database file.
enum class DatabaseDamage {
    // The file may be sound: the statement, the disk or a lock failed.
    none,
    // The file is corrupt or not a database at all; no retry will help.
    fileDamaged,
};

// A statement or an open that failed. what() is the database library's own text.
class DatabaseError : public std::runtime_error {
public:
    DatabaseError(const std::string& message, DatabaseDamage damage_)
        : std::runtime_error(message), damage(damage_) {}
    bool fileIsDamaged() const noexcept { return damage == DatabaseDamage::fileDamaged; }

private:
    DatabaseDamage damage;
};

using DatabaseValue = std::variant<std::int64_t, std::string>;

// One result row. Columns are read as the type asked for, converted as SQLite converts.
class DatabaseRow {
public:
    struct Cell {
        std::int64_t integer = 0;
        std::string text;
    };
    explicit DatabaseRow(std::vector<Cell> cells_) : cells(std::move(cells_)) {}
    std::int64_t integer(std::size_t column) const { return cells.at(column).integer; }
    const std::string& text(std::size_t column) const { return cells.at(column).text; }

private:
    std::vector<Cell> cells;
};

// One connection in serialized mode. Each call runs alone on it, from preparing to the last
// row, whichever thread makes it, so an error text always belongs to its own statement.
// Statements are kept prepared between calls, a bounded number of them and each one reset,
// until the connection closes.
class Database {
public:
    virtual ~Database() = default;
    // Runs one statement in autocommit mode. Throws DatabaseError.
    virtual void execute(const std::string& sql, const std::vector<DatabaseValue>& parameters) = 0;
    // Runs one query and reads all its rows. Throws DatabaseError.
    virtual std::vector<DatabaseRow> query(const std::string& sql,
                                           const std::vector<DatabaseValue>& parameters) = 0;
    // For damage found after the open: when the file proves damaged, moves it aside as
    // moveDatabaseAside does and opens a new empty file in its place on this same connection,
    // returning where the old one went. When the file proves sound (another caller has
    // replaced it already) nothing happens and the path is empty. Throws DatabaseError or
    // std::filesystem::filesystem_error.
    virtual std::filesystem::path replaceIfDamaged(const std::string& suffix) = 0;
};

// Opens `file` for reading and writing, creating it with mode 0600 if missing. Throws
// DatabaseError.
std::unique_ptr<Database> openDatabaseFile(const std::filesystem::path& file);

// Renames `file` to its name followed by `suffix`, with its -journal, -wal and -shm files
// renamed to match, and returns the new path. Call it before closing the connection:
// closing removes the -wal and -shm files. Throws
// std::filesystem::filesystem_error when the main file cannot be moved.
std::filesystem::path moveDatabaseAside(const std::filesystem::path& file,
                                        const std::string& suffix);

} // namespace ulvarend::platform
