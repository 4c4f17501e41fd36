#include "Implementations/PersistenceHandler.h"

#include "models/Time.h"
#include "platform/Paths.h"
#include "platform/Process.h"

#include <iterator>

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

// Rows whose time stamp is not in the stored form (written by something else) are left
// alone, as are device rows of any other event type: such a row must never take a place in
// a batch it can never leave.
const std::string kStoredTimeStamp =
    R"("time_stamp" GLOB '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:)"
    R"([0-9][0-9].[0-9][0-9][0-9]')";

const std::string kStoredDeviceEvent = R"("event_type" IN (0, 1))";

// The oldest-first batch reads the first rows of these and stops: without them every batch
// matched the time stamp of every row and sorted the whole table, once a minute while records
// wait. They hold only the rows a batch may take, under the very condition the batch queries
// give, so that SQLite can use them and rows left alone are never walked over.
const std::string kIndexAppUsages =
    R"(CREATE INDEX IF NOT EXISTS "app_usages_oldest_first" ON "app_usages" ("time_stamp") )"
    R"(WHERE )" +
    kStoredTimeStamp;

const std::string kIndexDeviceUsages =
    R"(CREATE INDEX IF NOT EXISTS "device_usages_oldest_first" ON "device_usages" )"
    R"(("time_stamp") WHERE )" +
    kStoredDeviceEvent + " AND " + kStoredTimeStamp;

// A damaged file keeps its name with this added, so that nothing in it is destroyed.
std::string movedAsideSuffix() {
    return ".corrupt-" + formatUtc(std::chrono::system_clock::now(), UtcForm::compact);
}

} // namespace

const std::string PersistenceHandler::kSelectAppUsages =
    R"(SELECT "id", "participant_identifier", "user_count", "time_stamp", "package", )"
    R"("duration" FROM "app_usages" WHERE )" +
    kStoredTimeStamp + R"( ORDER BY "time_stamp" ASC LIMIT ?)";

const std::string PersistenceHandler::kSelectDeviceUsages =
    R"(SELECT "id", "participant_identifier", "user_count", "time_stamp", "event_type" )"
    R"(FROM "device_usages" WHERE )" +
    kStoredDeviceEvent + " AND " + kStoredTimeStamp + R"( ORDER BY "time_stamp" ASC LIMIT ?)";

PersistenceHandler::PersistenceHandler(std::shared_ptr<LoggerProtocol> logger_,
                                       std::shared_ptr<SettingsProtocol> settings_)
    : logger(std::move(logger_)), settings(std::move(settings_)) {
    connectToFile();
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
        db = platform::openDatabaseFile(file);
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
        moved = platform::moveDatabaseAside(file, movedAsideSuffix());
    } catch (const std::exception&) {
        platform::fatalError(std::string("Could not connect to database: ") + error.what());
    }
    // Closed only now: closing removes the -wal and -shm files under their old names.
    db.reset();
    logger->logError("Persistence open: " + std::string(error.what()) +
                     "; moved the database aside as " + moved.string() + " and started a new one");
}

void PersistenceHandler::createTables() {
    db->execute(kCreateAppUsages, {});
    db->execute(kCreateDeviceUsages, {});
    for (const auto* index : {&kIndexAppUsages, &kIndexDeviceUsages}) {
        try {
            db->execute(*index, {});
        } catch (const platform::DatabaseError& error) {
            // A table of an earlier layout, used as it is, may lack a column the index names;
            // its own statements report that. Only speed is lost, so the store goes on.
            if (error.fileIsDamaged()) {
                throw;
            }
        }
    }
}

std::string PersistenceHandler::formatTimeStamp(TimePoint time) {
    return formatUtc(time, UtcForm::milliseconds);
}

std::optional<TimePoint> PersistenceHandler::parseTimeStamp(const std::string& text) {
    return parseUtc(text, UtcForm::milliseconds);
}

// Damage that shows only after the launch is handled as damage found then; otherwise every
// later save would fail and every record be lost for the rest of the run.
bool PersistenceHandler::replaceDamagedFile(const char* operation,
                                            const platform::DatabaseError& error) {
    if (!error.fileIsDamaged()) {
        return false;
    }
    const std::string prefix = std::string("Persistence ") + operation + ": " + error.what();
    std::filesystem::path moved;
    try {
        moved = db->replaceIfDamaged(movedAsideSuffix());
        createTables();
    } catch (const std::exception& failure) {
        logger->logError(prefix + "; could not start a new database: " + failure.what());
        return false;
    }
    if (!moved.empty()) {
        logger->logError(prefix + "; moved the database aside as " + moved.string() +
                         " and started a new one");
    }
    return true;
}

void PersistenceHandler::insert(const Usage& usage) {
    const auto* app = dynamic_cast<const AppUsage*>(&usage);
    const auto* device = dynamic_cast<const DeviceUsage*>(&usage);
    // The record that found the damage is kept in the new file.
    for (bool retried = false;; retried = true) {
        try {
            if (app != nullptr) {
                db->execute(kInsertAppUsage,
                            {app->participantIdentifier, app->userCount,
                             formatTimeStamp(app->timeStamp), app->package, app->duration});
            } else {
                db->execute(kInsertDeviceUsage,
                            {device->participantIdentifier, device->userCount,
                             formatTimeStamp(device->timeStamp), device->eventType});
            }
            return;
        } catch (const platform::DatabaseError& error) {
            if (!retried && replaceDamagedFile("save", error)) {
                continue;
            }
            throw;
        }
    }
}

bool PersistenceHandler::save(const Usage& usage) {
    const auto* app = dynamic_cast<const AppUsage*>(&usage);
    const auto* device = dynamic_cast<const DeviceUsage*>(&usage);
    if (app == nullptr && device == nullptr) {
        // Not a kind this store keeps; nothing was stored.
        return false;
    }
    storeUnstored();
    try {
        insert(usage);
        return true;
    } catch (const platform::DatabaseError& error) {
        // A full disk or a file-size limit passes; the record must not be lost meanwhile.
        logger->logError(std::string("Persistence save: ") + error.what() +
                         "; kept in memory: " + toJson(usage));
        keepUnstored(usage);
        return false;
    }
}

void PersistenceHandler::keepUnstored(const Usage& usage) {
    UsagePtr copy;
    if (const auto* app = dynamic_cast<const AppUsage*>(&usage)) {
        copy = std::make_shared<AppUsage>(*app);
    } else {
        copy = std::make_shared<DeviceUsage>(dynamic_cast<const DeviceUsage&>(usage));
    }
    copy->id.reset();
    UsagePtr dropped;
    std::uint64_t droppedSoFar = 0;
    {
        std::lock_guard lock(unstoredMutex);
        unstored.push_back(std::move(copy));
        if (unstored.size() > kMaxUnstored) {
            dropped = std::move(unstored.front());
            unstored.pop_front();
            droppedSoFar = ++droppedUnstored;
        }
    }
    if (dropped) {
        logger->logError("Persistence save: more than " + std::to_string(kMaxUnstored) +
                         " records could not be stored; dropped the oldest (" +
                         std::to_string(droppedSoFar) + " so far): " + toJson(*dropped));
    }
}

void PersistenceHandler::storeUnstored() {
    std::lock_guard lock(unstoredMutex);
    while (!unstored.empty()) {
        try {
            insert(*unstored.front());
        } catch (const platform::DatabaseError&) {
            // Still no room; the record was logged when it was kept.
            return;
        }
        logger->logUsage(*unstored.front(), UsageLogType::saved);
        unstored.pop_front();
    }
}

std::vector<UsagePtr> PersistenceHandler::takeUnstoredUsages() {
    std::lock_guard lock(unstoredMutex);
    std::vector<UsagePtr> taken(std::make_move_iterator(unstored.begin()),
                                std::make_move_iterator(unstored.end()));
    unstored.clear();
    return taken;
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
        db->execute(sql, {*usage.id});
    } catch (const platform::DatabaseError& error) {
        if (!replaceDamagedFile("delete", error)) {
            logger->logError(std::string("Persistence delete: ") + error.what());
        }
    }
}

std::vector<std::shared_ptr<DeviceUsage>>
PersistenceHandler::fetchDeviceUsages(std::int64_t limit) {
    storeUnstored();
    std::vector<platform::DatabaseRow> rows;
    try {
        rows = db->query(kSelectDeviceUsages, {limit});
    } catch (const platform::DatabaseError& error) {
        if (!replaceDamagedFile("fetchDeviceUsages", error)) {
            logger->logError(std::string("Persistence fetchDeviceUsages: ") + error.what());
        }
        return {};
    }
    std::vector<std::shared_ptr<DeviceUsage>> usages;
    usages.reserve(rows.size());
    const std::string model = rows.empty() ? std::string() : settings->deviceModelName();
    for (const auto& row : rows) {
        const auto timeStamp = parseTimeStamp(row.text(3));
        if (!timeStamp) {
            continue;
        }
        usages.push_back(std::make_shared<DeviceUsage>(
            row.text(1), model, *timeStamp, row.integer(2), row.integer(4), row.integer(0)));
    }
    return usages;
}

std::vector<std::shared_ptr<AppUsage>> PersistenceHandler::fetchAllAppUsages(std::int64_t limit) {
    storeUnstored();
    std::vector<platform::DatabaseRow> rows;
    try {
        rows = db->query(kSelectAppUsages, {limit});
    } catch (const platform::DatabaseError& error) {
        if (!replaceDamagedFile("fetchAllAppUsages", error)) {
            logger->logError(std::string("Persistence fetchAllAppUsages: ") + error.what());
        }
        return {};
    }
    std::vector<std::shared_ptr<AppUsage>> usages;
    usages.reserve(rows.size());
    const std::string model = rows.empty() ? std::string() : settings->deviceModelName();
    for (const auto& row : rows) {
        const auto timeStamp = parseTimeStamp(row.text(3));
        if (!timeStamp) {
            continue;
        }
        usages.push_back(std::make_shared<AppUsage>(row.text(1), model, *timeStamp, row.integer(2),
                                                    row.text(4), row.integer(5), row.integer(0)));
    }
    return usages;
}

} // namespace ulvarend
