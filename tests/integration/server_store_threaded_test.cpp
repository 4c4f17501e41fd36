// Both record stores of the collection server against real databases: an SQLite file in a
// temporary folder and a PostgreSQL cluster the test starts itself.

#include "server/CsvExport.h"
#include "server/RecordStore.h"
#include "server/StatusPage.h"
#include "support/Postgres.h"
#include "support/TemporaryHome.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace ulvarend::server {
namespace {

using namespace std::chrono;
using testing::makeTemporaryFolder;
using testing::readFile;

// 2021-03-01T12:00:00Z
const TimePoint kNoon = TimePoint{seconds{1614600000}};

testing::Postgres& sharedPostgres() {
    static testing::Postgres postgres;
    return postgres;
}

class StoreTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        folder = makeTemporaryFolder("ulvarend-store-");
        if (GetParam() == "postgresql") {
            // A fresh database per test, in the one cluster.
            database = "t" + std::to_string(++databases);
            sharedPostgres().query("CREATE DATABASE " + database);
        }
        store = open();
    }
    void TearDown() override {
        store.reset();
        std::filesystem::remove_all(folder);
    }

    std::shared_ptr<RecordStore> open() {
        if (GetParam() == "postgresql") {
            auto connection = sharedPostgres().connectionString();
            return makePostgresStore(
                connection.replace(connection.find("dbname=postgres"), 15, "dbname=" + database),
                8);
        }
        return makeSqliteStore(folder.string());
    }

    std::filesystem::path folder;
    std::string database;
    std::shared_ptr<RecordStore> store;
    static inline int databases = 0;
};

TEST_P(StoreTest, ARecordSentAgainIsStoredOnce) {
    const AppUsage app("s1:Åse", "LENOVO", kNoon, 2, "org.gnome.Nautilus", 5230);
    const DeviceUsage started("s1:Åse", "LENOVO", kNoon, 2, 1);
    EXPECT_EQ(store->insert(app, kNoon), InsertOutcome::stored);
    EXPECT_EQ(store->insert(app, kNoon + minutes(1)), InsertOutcome::duplicate);
    EXPECT_EQ(store->insert(started, kNoon), InsertOutcome::stored);
    EXPECT_EQ(store->insert(started, kNoon + minutes(1)), InsertOutcome::duplicate);
    // Any part of the key that differs makes another record.
    EXPECT_EQ(
        store->insert(AppUsage("s1:Åse", "LENOVO", kNoon, 2, "org.gnome.Nautilus", 5231), kNoon),
        InsertOutcome::stored);
    EXPECT_EQ(store->insert(DeviceUsage("s1:Åse", "LENOVO", kNoon, 2, 0), kNoon),
              InsertOutcome::stored);
    EXPECT_EQ(store->insert(DeviceUsage("s1:Bo", "LENOVO", kNoon, 2, 1), kNoon),
              InsertOutcome::stored);
}

TEST_P(StoreTest, ConcurrentCopiesOfOneRecordAreStoredOnce) {
    const AppUsage app("s2:Bo", "M", kNoon, 1, "firefox", 10);
    std::atomic<int> storedCount{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < 8; ++i) {
        senders.emplace_back([&] {
            try {
                if (store->insert(app, kNoon) == InsertOutcome::stored) {
                    ++storedCount;
                }
            } catch (const StoreUnavailable&) {
                ++failures;
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(storedCount.load(), 1);
}

TEST_P(StoreTest, SchemaIsMigratedOnceAndRecordsOutliveTheStore) {
    EXPECT_EQ(store->schemaVersion(), 1);
    store->insert(DeviceUsage("s3:A", "M", kNoon, 1, 1), kNoon);
    store.reset();
    store = open();
    EXPECT_EQ(store->schemaVersion(), 1);
    EXPECT_EQ(store->insert(DeviceUsage("s3:A", "M", kNoon, 1, 1), kNoon),
              InsertOutcome::duplicate);
}

TEST_P(StoreTest, HouseholdsAreSummarisedFromWhenTheirRecordsArrived) {
    const TimePoint now = system_clock::now();
    store->insert(AppUsage("quiet:A", "M", kNoon, 1, "x", 1), now - days(3));
    store->insert(AppUsage("busy:A", "M", kNoon, 2, "x", 1), now - days(10));
    store->insert(AppUsage("busy:B", "M", kNoon, 2, "x", 2), now - days(2));
    store->insert(DeviceUsage("busy:B", "M", kNoon, 2, 1), now - hours(1));
    store->insert(DeviceUsage("busy:B", "M", kNoon, 2, 1), now - minutes(1)); // duplicate
    store->insert(DeviceUsage("<b>x:y</b>:Z", "M", kNoon, 1, 0), now - minutes(5));
    const auto rows = store->households(now);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].household, "<b>x");
    EXPECT_EQ(rows[1].household, "busy");
    EXPECT_EQ(rows[1].members, 2);
    EXPECT_EQ(rows[1].lastDay, 1);
    EXPECT_EQ(rows[1].lastWeek, 2);
    EXPECT_EQ(formatReceived(rows[1].firstReceived), formatReceived(now - days(10)));
    EXPECT_EQ(formatReceived(rows[1].lastReceived), formatReceived(now - hours(1)));
    EXPECT_EQ(rows[2].household, "quiet");
    EXPECT_EQ(rows[2].lastDay, 0);
    EXPECT_EQ(rows[2].lastWeek, 1);

    std::int64_t total = 0;
    for (const auto& day : store->recordsPerDay(now - days(30), now + days(1))) {
        total += day.records;
    }
    EXPECT_EQ(total, 5);

    const std::string page = renderStatusPage(rows, {}, 0, {}, now);
    EXPECT_NE(page.find("<td>&lt;b&gt;x</td>"), std::string::npos);
    EXPECT_EQ(page.find("<b>x"), std::string::npos);
    EXPECT_NE(page.find("<tr class=\"silent\"><td>quiet</td>"), std::string::npos);
    EXPECT_NE(page.find("<tr><td>busy</td>"), std::string::npos);
}

TEST_P(StoreTest, ExportWritesTheRecordsOfTheRangeAsCsv) {
    const TimePoint received = kNoon + hours(1);
    store->insert(AppUsage("s4:Anna, \"Lille\"", "M", kNoon - seconds(1), 1, "early", 1), received);
    store->insert(AppUsage("s4:Anna, \"Lille\"", "M\r\nX", kNoon, 2, "a,b", 5230), received);
    store->insert(AppUsage("s4:Bo", "M", kNoon + hours(1), 1, "late", 1), received);
    store->insert(DeviceUsage("s4:Ærø:x", "M", kNoon, 1, 0), received);
    std::string whyNot;
    const auto out = folder / "export";
    ASSERT_TRUE(exportCsv(*store, kNoon, kNoon + hours(1), out.string(), &whyNot)) << whyNot;
    EXPECT_EQ(readFile(out / "app_usages.csv"),
              "participant_identifier,study_id,member,device_model_name,user_count,date,package,"
              "duration,received_at\r\n"
              "\"s4:Anna, \"\"Lille\"\"\",s4,\"Anna, \"\"Lille\"\"\",\"M\r\nX\",2,"
              "2021-03-01T12:00:00Z,\"a,b\",5230,2021-03-01T13:00:00.000Z\r\n");
    EXPECT_EQ(readFile(out / "device_usages.csv"),
              "participant_identifier,study_id,member,device_model_name,user_count,timestamp,"
              "event_type,received_at\r\n"
              "s4:Ærø:x,s4,Ærø:x,M,1,2021-03-01T12:00:00Z,0,2021-03-01T13:00:00.000Z\r\n");
    EXPECT_FALSE(std::filesystem::exists(out / "app_usages.csv.partial"));
}

TEST_P(StoreTest, QuarantinedBodiesAreKeptAndCounted) {
    store->quarantine("/v1/app_usages", std::string("{\"a\":\0\xff}", 8), "not JSON in UTF-8",
                      kNoon);
    EXPECT_EQ(store->quarantined(), 1);
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

} // namespace
} // namespace ulvarend::server
