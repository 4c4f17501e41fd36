#include "Implementations/PersistenceHandler.h"
#include "platform/Database.h"
#include "support/Mocks.h"
#include "support/TemporaryHome.h"

#include <csignal>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::StartsWith;
using ::testing::StrictMock;

namespace ulvarend {
namespace {

using testing::MockLogger;
using testing::MockSettings;
using testing::TemporaryHome;

const TimePoint kBase = TimePoint{1'614'848'887s}; // 2021-03-04T09:08:07Z

class PersistenceTest : public ::testing::Test {
protected:
    PersistenceTest() { ON_CALL(*settings, deviceModelName()).WillByDefault(Return("Model A")); }

    std::unique_ptr<PersistenceHandler> open() {
        return std::make_unique<PersistenceHandler>(logger, settings);
    }

    std::filesystem::path file() const { return home.dataHome() / "ulvarend" / "db.sqlite3"; }

    // A connection of the test's own beside the store's, as another run would see the file.
    std::unique_ptr<platform::Database> sideConnection() const {
        return platform::openDatabaseFile(file());
    }

    static AppUsage app(const std::string& package, TimePoint at, std::int64_t duration = 10) {
        return AppUsage("participant", "ignored", at, 2, package, duration);
    }

    TemporaryHome home;
    std::shared_ptr<StrictMock<MockLogger>> logger = std::make_shared<StrictMock<MockLogger>>();
    std::shared_ptr<NiceMock<MockSettings>> settings = std::make_shared<NiceMock<MockSettings>>();
};

TEST_F(PersistenceTest, FreshFileHasExactlyTheTwoTablesOwnerOnly) {
    open();
    const auto rows = sideConnection()->query(
        "SELECT name, sql FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' "
        "ORDER BY name",
        {});
    ASSERT_EQ(rows.size(), 2U);
    EXPECT_EQ(rows[0].text(1),
              R"(CREATE TABLE "app_usages" ("id" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, )"
              R"("participant_identifier" TEXT NOT NULL, "user_count" INTEGER NOT NULL, )"
              R"("time_stamp" TEXT NOT NULL, "package" TEXT NOT NULL, )"
              R"("duration" INTEGER NOT NULL))");
    EXPECT_EQ(rows[1].text(1),
              R"(CREATE TABLE "device_usages" ("id" INTEGER PRIMARY KEY AUTOINCREMENT NOT )"
              R"(NULL, "participant_identifier" TEXT NOT NULL, "user_count" INTEGER NOT )"
              R"(NULL, "time_stamp" TEXT NOT NULL, "event_type" INTEGER NOT NULL))");

    struct stat info {};
    ASSERT_EQ(stat(file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
    ASSERT_EQ(stat(file().parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700U);
}

TEST_F(PersistenceTest, RoundTripKeepsFieldsToTheMillisecondAndReadsTheModelAtFetch) {
    auto store = open();
    const TimePoint at = kBase + 654'321us;
    EXPECT_TRUE(store->save(app("org.example.Editor", at, 5230)));
    EXPECT_TRUE(store->save(DeviceUsage("participant", "ignored", at, 3, 1)));
    EXPECT_TRUE(store->save(DeviceUsage("participant", "ignored", at + 1ms, 3, 0)));

    const auto stored = sideConnection()->query(R"(SELECT "time_stamp" FROM "app_usages")", {});
    ASSERT_EQ(stored.size(), 1U);
    EXPECT_EQ(stored[0].text(0), "2021-03-04T09:08:07.654");

    EXPECT_CALL(*settings, deviceModelName()).WillRepeatedly(Return("Model B"));
    const auto apps = store->fetchAllAppUsages(10);
    ASSERT_EQ(apps.size(), 1U);
    EXPECT_EQ(apps[0]->participantIdentifier, "participant");
    EXPECT_EQ(apps[0]->deviceModelName, "Model B");
    EXPECT_EQ(apps[0]->timeStamp, kBase + 654ms);
    EXPECT_EQ(apps[0]->userCount, 2);
    EXPECT_EQ(apps[0]->package, "org.example.Editor");
    EXPECT_EQ(apps[0]->duration, 5230);
    EXPECT_TRUE(apps[0]->id.has_value());

    const auto devices = store->fetchDeviceUsages(10);
    ASSERT_EQ(devices.size(), 2U);
    EXPECT_EQ(devices[0]->eventType, 1);
    EXPECT_EQ(devices[1]->eventType, 0);
    EXPECT_EQ(devices[1]->timeStamp, kBase + 655ms);
    EXPECT_EQ(devices[0]->userCount, 3);
    EXPECT_EQ(devices[0]->deviceModelName, "Model B");
    EXPECT_NE(devices[0]->id, devices[1]->id);
}

TEST_F(PersistenceTest, FetchesOldestFirstUpToTheLimit) {
    auto store = open();
    for (int second : {5, 1, 4, 2, 3}) {
        ASSERT_TRUE(
            store->save(app("p" + std::to_string(second), kBase + std::chrono::seconds(second))));
    }
    const auto three = store->fetchAllAppUsages(3);
    ASSERT_EQ(three.size(), 3U);
    EXPECT_EQ(three[0]->package, "p1");
    EXPECT_EQ(three[1]->package, "p2");
    EXPECT_EQ(three[2]->package, "p3");
    EXPECT_TRUE(store->fetchAllAppUsages(0).empty());
    EXPECT_TRUE(store->fetchDeviceUsages(5).empty());
}

TEST_F(PersistenceTest, IdsAreNeverReusedAndDeletingTwiceIsQuiet) {
    auto store = open();
    ASSERT_TRUE(store->save(app("a", kBase)));
    ASSERT_TRUE(store->save(app("b", kBase + 1s)));
    auto rows = store->fetchAllAppUsages(10);
    ASSERT_EQ(rows.size(), 2U);
    const std::int64_t highest = *rows[1]->id;
    store->deleteUsage(*rows[1]);
    store->deleteUsage(*rows[1]);
    store->deleteUsage(app("no id", kBase)); // nothing to delete, nothing to log

    ASSERT_TRUE(store->save(app("c", kBase + 2s)));
    rows = store->fetchAllAppUsages(10);
    ASSERT_EQ(rows.size(), 2U);
    EXPECT_EQ(rows[0]->package, "a");
    EXPECT_EQ(rows[1]->package, "c");
    EXPECT_GT(*rows[1]->id, highest);
}

TEST_F(PersistenceTest, RecordsOfAnotherKindAreNotStored) {
    auto store = open();
    EXPECT_FALSE(store->save(Usage("participant", "model", kBase, 1)));
    EXPECT_TRUE(store->fetchAllAppUsages(10).empty());
    EXPECT_TRUE(store->fetchDeviceUsages(10).empty());
}

TEST_F(PersistenceTest, DatabaseFromAnEarlierRunIsUsedAsItIs) {
    open()->save(DeviceUsage("earlier", "model", kBase, 1, 1));
    auto store = open();
    const auto devices = store->fetchDeviceUsages(10);
    ASSERT_EQ(devices.size(), 1U);
    EXPECT_EQ(devices[0]->participantIdentifier, "earlier");
}

TEST_F(PersistenceTest, BatchesOfAFileFromAnEarlierRunReadAnIndexInsteadOfSortingTheTable) {
    std::filesystem::create_directories(file().parent_path());
    {
        // As an earlier run left it: the tables alone, with a row waiting.
        auto earlier = sideConnection();
        earlier->execute(R"(CREATE TABLE "app_usages" ("id" INTEGER PRIMARY KEY AUTOINCREMENT )"
                         R"(NOT NULL, "participant_identifier" TEXT NOT NULL, "user_count" )"
                         R"(INTEGER NOT NULL, "time_stamp" TEXT NOT NULL, "package" TEXT NOT )"
                         R"(NULL, "duration" INTEGER NOT NULL))",
                         {});
        earlier->execute(R"(CREATE TABLE "device_usages" ("id" INTEGER PRIMARY KEY )"
                         R"(AUTOINCREMENT NOT NULL, "participant_identifier" TEXT NOT NULL, )"
                         R"("user_count" INTEGER NOT NULL, "time_stamp" TEXT NOT NULL, )"
                         R"("event_type" INTEGER NOT NULL))",
                         {});
        earlier->execute(R"(INSERT INTO "app_usages" ("participant_identifier", "user_count", )"
                         R"("time_stamp", "package", "duration") )"
                         R"(VALUES ('earlier', 1, '2021-03-04T09:08:07.654', 'p', 1))",
                         {});
    }
    auto store = open();
    const auto side = sideConnection();
    const std::vector<std::pair<std::string, std::string>> plans{
        {PersistenceHandler::kSelectAppUsages,
         "SCAN app_usages USING INDEX app_usages_oldest_first"},
        {PersistenceHandler::kSelectDeviceUsages,
         "SCAN device_usages USING INDEX device_usages_oldest_first"}};
    for (const auto& [query, plan] : plans) {
        const auto steps = side->query("EXPLAIN QUERY PLAN " + query, {std::int64_t{10}});
        ASSERT_EQ(steps.size(), 1U) << query; // no sort of its own
        EXPECT_EQ(steps[0].text(3), plan);
    }
    const auto apps = store->fetchAllAppUsages(10);
    ASSERT_EQ(apps.size(), 1U);
    EXPECT_EQ(apps[0]->participantIdentifier, "earlier");
}

TEST_F(PersistenceTest, RowsOfUnknownEventTypeOrUnreadableTimeNeverTakeAPlaceInABatch) {
    auto store = open();
    const auto side = sideConnection();
    const std::vector<std::pair<std::string, std::int64_t>> odd{
        {"2000-01-01T00:00:00.000", 7}, {"!unreadable", 0}, {"", 1}, {"0", 1}};
    for (const auto& [stamp, type] : odd) {
        side->execute(R"(INSERT INTO "device_usages" ("participant_identifier", "user_count", )"
                      R"("time_stamp", "event_type") VALUES ('odd', 1, ?, ?))",
                      {stamp, type});
        if (type != 7) { // the time stamp is unreadable
            side->execute(R"(INSERT INTO "app_usages" ("participant_identifier", "user_count", )"
                          R"("time_stamp", "package", "duration") VALUES ('odd', 1, ?, 'x', 1))",
                          {stamp});
        }
    }
    ASSERT_TRUE(store->save(DeviceUsage("participant", "model", kBase, 1, 0)));
    ASSERT_TRUE(store->save(app("ours", kBase)));
    const auto devices = store->fetchDeviceUsages(1);
    ASSERT_EQ(devices.size(), 1U);
    EXPECT_EQ(devices[0]->participantIdentifier, "participant");
    const auto apps = store->fetchAllAppUsages(1);
    ASSERT_EQ(apps.size(), 1U);
    EXPECT_EQ(apps[0]->package, "ours");
    EXPECT_EQ(side->query(R"(SELECT 1 FROM "device_usages")", {}).size(), odd.size() + 1);
}

TEST_F(PersistenceTest, FailedStatementsAreLoggedAndSaveSaysSo) {
    // Tables of an earlier layout are used as they are, so their statements can fail.
    std::filesystem::create_directories(file().parent_path());
    {
        auto earlier = sideConnection();
        earlier->execute(R"(CREATE TABLE "app_usages" ("id" INTEGER PRIMARY KEY, )"
                         R"("participant_identifier" TEXT, "user_count" INTEGER, )"
                         R"("time_stamp" TEXT, "package" TEXT))",
                         {});
    }
    auto store = open();
    EXPECT_CALL(*logger, logError(StartsWith("Persistence save: ")));
    EXPECT_FALSE(store->save(app("too long", kBase)));
    EXPECT_CALL(*logger, logError("Persistence fetchAllAppUsages: no such column: duration"));
    EXPECT_TRUE(store->fetchAllAppUsages(10).empty());
}

// A full disk, as a file-size limit makes one: no record is lost, each one that could not be
// stored is named in the log, and all reach the store once there is room again.
TEST_F(PersistenceTest, RecordsThatFindNoRoomAreKeptAndStoredOnceThereIsRoom) {
    // Past the limit write() fails with EFBIG instead of the signal ending the process.
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    auto store = open();
    ASSERT_TRUE(store->save(app("first", kBase)));
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit limited = previous;
    limited.rlim_cur = std::filesystem::file_size(file());
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

    int saved = 1;
    std::vector<std::string> kept;
    EXPECT_CALL(*logger,
                logError(AllOf(StartsWith("Persistence save: "), HasSubstr("; kept in memory: "))))
        .Times(3)
        .WillRepeatedly([&](const std::string& line) {
            EXPECT_THAT(line, HasSubstr("\"package\":\"" + kept.back() + "\""));
        });
    for (int n = 1; kept.size() < 3 && n < 5000; ++n) {
        const std::string package = "app." + std::to_string(n);
        kept.push_back(package);
        if (store->save(app(package, kBase + std::chrono::seconds{n}))) {
            kept.pop_back();
            ++saved;
        }
    }
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    ASSERT_EQ(kept.size(), 3U) << "the limit never stopped a save";

    // The next batch stores them first, in the order they came.
    EXPECT_CALL(*logger, logUsage(::testing::_, UsageLogType::saved)).Times(3);
    const auto apps = store->fetchAllAppUsages(10000);
    ASSERT_EQ(apps.size(), static_cast<std::size_t>(saved) + 3);
    EXPECT_EQ(apps.back()->package, kept.back());
    EXPECT_TRUE(store->takeUnstoredUsages().empty());
}

TEST_F(PersistenceTest, PastTheBoundTheOldestRecordKeptInMemoryIsDroppedAndCounted) {
    std::filesystem::create_directories(file().parent_path());
    // A table of another layout refuses every insert.
    sideConnection()->execute(R"(CREATE TABLE "app_usages" ("id" INTEGER PRIMARY KEY))", {});
    auto store = open();
    const std::size_t bound = PersistenceHandler::kMaxUnstored;
    EXPECT_CALL(*logger, logError(HasSubstr("; kept in memory: "))).Times(bound + 2);
    {
        ::testing::InSequence order;
        EXPECT_CALL(*logger, logError(AllOf(HasSubstr("dropped the oldest (1 so far)"),
                                            HasSubstr("\"package\":\"app.0\""))));
        EXPECT_CALL(*logger, logError(AllOf(HasSubstr("dropped the oldest (2 so far)"),
                                            HasSubstr("\"package\":\"app.1\""))));
    }
    for (std::size_t n = 0; n < bound + 2; ++n) {
        EXPECT_FALSE(store->save(app("app." + std::to_string(n), kBase)));
    }
    const auto unstored = store->takeUnstoredUsages();
    ASSERT_EQ(unstored.size(), bound);
    EXPECT_EQ(dynamic_cast<const AppUsage&>(*unstored.front()).package, "app.2");
    EXPECT_TRUE(store->takeUnstoredUsages().empty());
}

TEST_F(PersistenceTest, DamagedFileIsMovedAsideWithItsCompanionsAndAFreshOneMade) {
    std::filesystem::create_directories(file().parent_path());
    const std::string garbage(4096, 'x');
    testing::writeFile(file(), garbage);
    auto wal = file();
    wal += "-wal";
    testing::writeFile(wal, "wal bytes");

    EXPECT_CALL(*logger, logError(HasSubstr("file is not a database")));
    auto store = open();
    ASSERT_TRUE(store->save(app("after", kBase)));
    EXPECT_EQ(store->fetchAllAppUsages(10).size(), 1U);

    std::vector<std::string> aside;
    for (const auto& entry : std::filesystem::directory_iterator(file().parent_path())) {
        const auto name = entry.path().filename().string();
        if (name.starts_with("db.sqlite3.corrupt-")) {
            aside.push_back(name);
        }
    }
    // SQLite may have made an -shm file beside the -wal; it goes along with the rest.
    ASSERT_GE(aside.size(), 2U);
    std::sort(aside.begin(), aside.end());
    EXPECT_THAT(aside[0], ::testing::MatchesRegex(R"(db\.sqlite3\.corrupt-[0-9]{8}T[0-9]{6}Z)"));
    EXPECT_THAT(aside, ::testing::Contains(aside[0] + "-wal"));
    EXPECT_EQ(testing::readFile(file().parent_path() / aside[0]), garbage);
    EXPECT_EQ(testing::readFile(file().parent_path() / (aside[0] + "-wal")), "wal bytes");
}

TEST_F(PersistenceTest, DamageFoundAfterLaunchIsMovedAsideAndTheRecordKeptInAFreshFile) {
    auto store = open();
    ASSERT_TRUE(store->save(app("before", kBase)));
    // Something overwrites the file while the agent runs.
    const std::string garbage(4096, 'x');
    {
        std::fstream overwrite(file(), std::ios::in | std::ios::out | std::ios::binary);
        overwrite.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    EXPECT_CALL(*logger, logError(AllOf(StartsWith("Persistence save: "),
                                        HasSubstr("moved the database aside as"))));
    ASSERT_TRUE(store->save(app("found it", kBase + 1s)));
    ASSERT_TRUE(store->save(app("after", kBase + 2s)));
    const auto apps = store->fetchAllAppUsages(10);
    ASSERT_EQ(apps.size(), 2U);
    EXPECT_EQ(apps[0]->package, "found it");
    EXPECT_EQ(apps[1]->package, "after");

    std::vector<std::filesystem::path> aside;
    for (const auto& entry : std::filesystem::directory_iterator(file().parent_path())) {
        if (entry.path().filename().string().starts_with("db.sqlite3.corrupt-")) {
            aside.push_back(entry.path());
        }
    }
    ASSERT_EQ(aside.size(), 1U);
    EXPECT_EQ(testing::readFile(aside[0]).substr(0, garbage.size()), garbage);
    struct stat info {};
    ASSERT_EQ(stat(file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
}

TEST_F(PersistenceTest, UnusableFolderStopsTheAgent) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::writeFile(home.root() / "plain-file", "");
    home.set("XDG_DATA_HOME", home.root() / "plain-file");
    EXPECT_DEATH(open(), "Could not connect to database: ");
}

TEST(PersistenceTimeStamp, TextFormSortsAsTimeAndReadsBack) {
    EXPECT_EQ(PersistenceHandler::formatTimeStamp(kBase + 7ms), "2021-03-04T09:08:07.007");
    EXPECT_EQ(PersistenceHandler::formatTimeStamp(TimePoint{} - 1ms), "1969-12-31T23:59:59.999");
    EXPECT_EQ(PersistenceHandler::parseTimeStamp("2021-03-04T09:08:07.007"), kBase + 7ms);
    EXPECT_FALSE(PersistenceHandler::parseTimeStamp("2021-03-04T09:08:07.007Z"));
    EXPECT_FALSE(PersistenceHandler::parseTimeStamp("garbage"));
    // Out-of-range fields carry into the next, in the stored shape as in any other.
    EXPECT_EQ(PersistenceHandler::parseTimeStamp("2021-02-29T09:08:07.007"),
              PersistenceHandler::parseTimeStamp("2021-03-01T09:08:07.007"));
    EXPECT_EQ(PersistenceHandler::parseTimeStamp("2021-2-28T09:08:07.007"),
              PersistenceHandler::parseTimeStamp("2021-02-28T09:08:07.007"));
}

} // namespace
} // namespace ulvarend
