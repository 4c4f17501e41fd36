#pragma once

#include "interfaces/LoggerProtocol.h"
#include "interfaces/PersistenceHandlerProtocol.h"
#include "interfaces/SettingsProtocol.h"
#include "platform/Database.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace ulvarend {

// Usage records that could not be delivered yet, in $XDG_DATA_HOME/ulvarend/db.sqlite3.
class PersistenceHandler final : public PersistenceHandlerProtocol {
public:
    // Opens databaseFile(), created if missing.
    PersistenceHandler(std::shared_ptr<LoggerProtocol> logger,
                       std::shared_ptr<SettingsProtocol> settings);

    bool save(const Usage& usage) override;
    void deleteUsage(const Usage& usage) override;
    std::vector<std::shared_ptr<DeviceUsage>> fetchDeviceUsages(std::int64_t limit) override;
    std::vector<std::shared_ptr<AppUsage>> fetchAllAppUsages(std::int64_t limit) override;
    std::vector<UsagePtr> takeUnstoredUsages() override;

    // At most this many records that could not be stored are kept in memory; past it the
    // oldest is dropped, counted and logged.
    static constexpr std::size_t kMaxUnstored = 1000;

    // The oldest-first batch queries, with the limit as their one parameter. Indexes made at
    // open serve them; a change to their condition must be made to the indexes too.
    static const std::string kSelectAppUsages;
    static const std::string kSelectDeviceUsages;

    // The file the store uses.
    static std::filesystem::path databaseFile();

    // The stored form of a time stamp: UTC to the millisecond, e.g. 2021-03-04T09:08:07.654.
    static std::string formatTimeStamp(TimePoint time);
    static std::optional<TimePoint> parseTimeStamp(const std::string& text);

private:
    void connectToFile();
    enum class OnDamage { moveAside, stop };
    // False when the file turned out to be damaged and was moved aside.
    bool openFileAndCreateTables(const std::filesystem::path& file, OnDamage onDamage);
    void moveAside(const std::filesystem::path& file, const platform::DatabaseError& error);
    // Creates the tables and the indexes of the oldest-first batch where missing. Throws
    // DatabaseError; an index that a table of an earlier layout refuses is left out.
    void createTables();
    // True when the damage that `error` reports has been dealt with and a retry may succeed.
    bool replaceDamagedFile(const char* operation, const platform::DatabaseError& error);
    // Stores `usage` once, moving a damaged file aside on the way. Throws DatabaseError.
    void insert(const Usage& usage);
    // Stores what is kept in memory, oldest first, up to the first that still fails.
    void storeUnstored();
    void keepUnstored(const Usage& usage);

    std::shared_ptr<LoggerProtocol> logger;
    std::shared_ptr<SettingsProtocol> settings;
    std::unique_ptr<platform::Database> db;
    // Records a full disk or a file-size limit kept out of the store. Held while they are
    // stored again, so that they reach the store in the order they came.
    std::mutex unstoredMutex;
    std::deque<UsagePtr> unstored;
    std::uint64_t droppedUnstored = 0;
};

} // namespace ulvarend
