#include "Implementations/PersistenceHandler.h"

#include "models/Time.h"
#include "platform/Paths.h"
#include "platform/Process.h"


namespace ulvarend {
namespace {

constexpr const char* kCreateAppUsages = R"(CREATE TABLE IF NOT EXISTS "app_usages" ()"
                                         R"("id" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, )"
                                         R"("participant_identifier" TEXT NOT NULL, )"
                                         R"("user_count" INTEGER NOT NULL, )"
                                         R"("time_stamp" TEXT NOT NULL, )"
                                         R"("package" TEXT NOT NULL, )"
                                         R"("duration" INTEGER NOT NULL))";

constexpr const char* kCreateDeviceUsages = R"(CREATE TABLE IF NOT EXISTS "device_usages" ()"
                                            R"("id" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, )"
                                            R"("participant_identifier" TEXT NOT NULL, )"
                                            R"("user_count" INTEGER NOT NULL, )"
                                            R"("time_stamp" TEXT NOT NULL, )"
                                            R"("event_type" INTEGER NOT NULL))";

constexpr const char* kInsertAppUsage =
    R"(INSERT INTO "app_usages" ("participant_identifier", "user_count", "time_stamp", )"
    R"("package", "duration") VALUES (?, ?, ?, ?, ?))";

constexpr const char* kInsertDeviceUsage =
    R"(INSERT INTO "device_usages" ("participant_identifier", "user_count", "time_stamp", )"
    R"("event_type") VALUES (?, ?, ?, ?))";

constexpr const char* kDeleteAppUsage = R"(DELETE FROM "app_usages" WHERE "id" = ?)";
constexpr const char* kDeleteDeviceUsage = R"(DELETE FROM "device_usages" WHERE "id" = ?)";

constexpr const char* kSelectAppUsages =
    R"(SELECT "id", "participant_identifier", "user_count", "time_stamp", "package", )"
    R"("duration" FROM "app_usages" ORDER BY "time_stamp" ASC LIMIT ?)";

// A row with any other event type is left alone: it must never take a place in a batch it
// can never leave.
constexpr const char* kSelectDeviceUsages =
    R"(SELECT "id", "participant_identifier", "user_count", "time_stamp", "event_type" )"
    R"(FROM "device_usages" WHERE "event_type" IN (0, 1) ORDER BY "time_stamp" ASC LIMIT ?)";

} // namespace

PersistenceHandler::PersistenceHandler(std::shared_ptr<LoggerProtocol> logger,
                                       std::shared_ptr<SettingsProtocol> settings, Location location)
    : logger_(std::move(logger)), settings_(std::move(settings)) {
    if (location == Location::file) {
        connectToFile();
        return;
    }
    try {
        db_ = platform::openInMemoryDatabase();
    } catch (const platform::DatabaseError& error) {
        platform::fatalError(std::string("Could not connect to in memory database: ") +
                             error.what());
    }
    try {
        createTables();
    } catch (const platform::DatabaseError& error) {
        platform::fatalError(std::string("Could not create tables in database: ") + error.what());
    }
}

std::filesystem::path PersistenceHandler::databaseFile() {
    return platform::dataHome() / "ulvarend" / "db.sqlite3";
}

void PersistenceHandler::connectToFile() {
    const auto file = databaseFile();
    try {
        platform::ensureDirectory(file.parent_path(), 0700);
    } catch (const std::exception& error) {
        platform::fatalError(std::string("Could not connect to database: ") + error.what());
    }
    if (!openFileAndCreateTables(file, OnDamage::moveAside)) {
        openFileAndCreateTables(file, OnDamage::stop);
    }
}

bool PersistenceHandler::openFileAndCreateTables(const std::filesystem::path& file,
                                                 OnDamage onDamage) {
    try {
        db_ = platform::openDatabaseFile(file);
    } catch (const platform::DatabaseError& error) {
        if (onDamage == OnDamage::moveAside && error.fileIsDamaged()) {
            moveAside(file, error);
            return false;
        }
        platform::fatalError(std::string("Could not connect to database: ") + error.what());
    }
    try {
        createTables();
    } catch (const platform::DatabaseError& error) {
        if (onDamage == OnDamage::moveAside && error.fileIsDamaged()) {
            moveAside(file, error);
            return false;
        }
        platform::fatalError(std::string("Could not create tables in database: ") + error.what());
    }
    return true;
}

// A damaged file would otherwise stop the agent at every launch for the rest of the study.
// It is kept beside the new one so that nothing in it is destroyed.
void PersistenceHandler::moveAside(const std::filesystem::path& file,
                                   const platform::DatabaseError& error) {
    std::filesystem::path moved;
    try {
        moved = platform::moveDatabaseAside(file, ".corrupt-" + formatUtc(std::chrono::system_clock::now(), UtcForm::compact));
    } catch (const std::exception&) {
        platform::fatalError(std::string("Could not connect to database: ") + error.what());
    }
    // Closed only now: closing removes the -wal and -shm files under their old names.
    db_.reset();
    logger_->logError("Persistence open: " + std::string(error.what()) +
                      "; moved the database aside as " + moved.string() + " and started a new one");
}

void PersistenceHandler::createTables() {
    db_->execute(kCreateAppUsages, {});
    db_->execute(kCreateDeviceUsages, {});
}

std::string PersistenceHandler::formatTimeStamp(TimePoint time) {
    return formatUtc(time, UtcForm::milliseconds);
}

std::optional<TimePoint> PersistenceHandler::parseTimeStamp(const std::string& text) {
    return parseUtc(text, UtcForm::milliseconds);
}

bool PersistenceHandler::save(const Usage& usage) {
    try {
        if (const auto* app = dynamic_cast<const AppUsage*>(&usage)) {
            db_->execute(kInsertAppUsage,
                         {app->participantIdentifier, app->userCount,
                          formatTimeStamp(app->timeStamp), app->package, app->duration});
        } else if (const auto* device = dynamic_cast<const DeviceUsage*>(&usage)) {
            db_->execute(kInsertDeviceUsage,
                         {device->participantIdentifier, device->userCount,
                          formatTimeStamp(device->timeStamp), device->eventType});
        } else {
            // Not a kind this store keeps; nothing was stored.
            return false;
        }
    } catch (const platform::DatabaseError& error) {
        logger_->logError(std::string("Persistence save: ") + error.what());
        return false;
    }
    return true;
}

void PersistenceHandler::deleteUsage(const Usage& usage) {
    if (!usage.id) {
        return;
    }
    const char* sql = nullptr;
    if (dynamic_cast<const AppUsage*>(&usage) != nullptr) {
        sql = kDeleteAppUsage;
    } else if (dynamic_cast<const DeviceUsage*>(&usage) != nullptr) {
        sql = kDeleteDeviceUsage;
    } else {
        return;
    }
    try {
        db_->execute(sql, {*usage.id});
    } catch (const platform::DatabaseError& error) {
        logger_->logError(std::string("Persistence delete: ") + error.what());
    }
}

std::vector<std::shared_ptr<DeviceUsage>>
PersistenceHandler::fetchDeviceUsages(std::int64_t limit) {
    std::vector<platform::DatabaseRow> rows;
    try {
        rows = db_->query(kSelectDeviceUsages, {limit});
    } catch (const platform::DatabaseError& error) {
        logger_->logError(std::string("Persistence fetchDeviceUsages: ") + error.what());
        return {};
    }
    std::vector<std::shared_ptr<DeviceUsage>> usages;
    usages.reserve(rows.size());
    for (const auto& row : rows) {
        const auto timeStamp = parseTimeStamp(row.text(3));
        if (!timeStamp) {
            continue;
        }
        usages.push_back(std::make_shared<DeviceUsage>(row.text(1), settings_->deviceModelName(),
                                                       *timeStamp, row.integer(2), row.integer(4),
                                                       row.integer(0)));
    }
    return usages;
}

std::vector<std::shared_ptr<AppUsage>> PersistenceHandler::fetchAllAppUsages(std::int64_t limit) {
    std::vector<platform::DatabaseRow> rows;
    try {
        rows = db_->query(kSelectAppUsages, {limit});
    } catch (const platform::DatabaseError& error) {
        logger_->logError(std::string("Persistence fetchAllAppUsages: ") + error.what());
        return {};
    }
    std::vector<std::shared_ptr<AppUsage>> usages;
    usages.reserve(rows.size());
    for (const auto& row : rows) {
        const auto timeStamp = parseTimeStamp(row.text(3));
        if (!timeStamp) {
            continue;
        }
        usages.push_back(std::make_shared<AppUsage>(row.text(1), settings_->deviceModelName(),
                                                    *timeStamp, row.integer(2), row.text(4),
                                                    row.integer(5), row.integer(0)));
    }
    return usages;
}

} // namespace ulvarend
