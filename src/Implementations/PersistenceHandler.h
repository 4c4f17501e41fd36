#pragma once

#include "interfaces/LoggerProtocol.h"
#include "interfaces/PersistenceHandlerProtocol.h"
#include "interfaces/SettingsProtocol.h"
#include "platform/Database.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace ulvarend {

// Usage records that could not be delivered yet, in $XDG_DATA_HOME/ulvarend/db.sqlite3.
class PersistenceHandler final : public PersistenceHandlerProtocol {
public:
    enum class Location {
        // databaseFile(), created if missing.
        file,
        // A private store that lives as long as this object (tests).
        memory,
    };

    PersistenceHandler(std::shared_ptr<LoggerProtocol> logger,
                       std::shared_ptr<SettingsProtocol> settings, Location location);

    bool save(const Usage& usage) override;
    void deleteUsage(const Usage& usage) override;
    std::vector<std::shared_ptr<DeviceUsage>> fetchDeviceUsages(std::int64_t limit) override;
    std::vector<std::shared_ptr<AppUsage>> fetchAllAppUsages(std::int64_t limit) override;

    // The file the store uses when not in memory.
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
    void createTables();
    // True when the damage that `error` reports has been dealt with and a retry may succeed.
    bool replaceDamagedFile(const char* operation, const platform::DatabaseError& error);

    std::shared_ptr<LoggerProtocol> logger;
    std::shared_ptr<SettingsProtocol> settings;
    std::unique_ptr<platform::Database> db;
};

} // namespace ulvarend
