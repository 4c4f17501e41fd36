// The local store with 100,000 rows waiting: one insert through the persistence handler next
// to the same insert made directly with SQLiteCpp, alternately on the same file, and one
// oldest-first batch read both ways and with the query stripped of its condition. Usage:
// store_bench <folder> [rows] [inserts]

#include "BenchSupport.h"
#include "Implementations/PersistenceHandler.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace ulvarend;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kInsert =
    R"(INSERT INTO "app_usages" ("participant_identifier", "user_count", "time_stamp", )"
    R"("package", "duration") VALUES (?, ?, ?, ?, ?))";
// The store's batch query without its condition on the time stamp.
constexpr const char* kSelectPlain =
    R"(SELECT "id", "participant_identifier", "user_count", "time_stamp", "package", )"
    R"("duration" FROM "app_usages" ORDER BY "time_stamp" ASC LIMIT ?)";
constexpr int kBatch = 10; // what the agent reads per batch
constexpr int kFetches = 200;
constexpr int kScans = 20; // a scan of the whole table takes milliseconds

// Milliseconds SQLiteCpp alone takes to prepare `sql` and read its batch, as the store does.
double rawFetch(SQLite::Database& raw, const char* sql) {
    const auto began = Clock::now();
    SQLite::Statement select(raw, sql);
    select.bind(1, kBatch);
    int read = 0;
    while (select.executeStep()) {
        ++read;
    }
    const auto ms = std::chrono::duration<double, std::milli>(Clock::now() - began).count();
    if (read != kBatch) {
        std::fprintf(stderr, "SQLite answered %d rows\n", read);
        std::exit(1);
    }
    return ms;
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void bindRow(SQLite::Statement& insert, int i, TimePoint when) {
    insert.bind(1, "bench-participant:bench");
    insert.bind(2, 1);
    insert.bind(3, PersistenceHandler::formatTimeStamp(when));
    insert.bind(4, "org.example.Application" + std::to_string(i % 50));
    insert.bind(5, static_cast<std::int64_t>(1000 + i % 60000));
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: store_bench <folder> [rows] [inserts]\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const int rows = argc > 2 ? std::atoi(argv[2]) : 100000;
    const int inserts = argc > 3 ? std::atoi(argv[3]) : 1000;
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    setenv("XDG_DATA_HOME", folder.c_str(), 1);

    auto logger = std::make_shared<bench::QuietLogger>();
    PersistenceHandler store(logger, std::make_shared<bench::FixedSettings>());
    SQLite::Database raw(PersistenceHandler::databaseFile().string(), SQLite::OPEN_READWRITE);

    // Rows from the past few days, so that every new row is the newest.
    const auto start = std::chrono::system_clock::now() - std::chrono::hours(24 * 7);
    {
        SQLite::Transaction transaction(raw);
        SQLite::Statement insert(raw, kInsert);
        for (int i = 0; i < rows; ++i) {
            bindRow(insert, i, start + std::chrono::seconds(5 * i));
            insert.exec();
            insert.reset();
        }
        transaction.commit();
    }

    std::vector<double> handlerMs, rawMs;
    for (int i = 0; i < inserts; ++i) {
        const auto now = std::chrono::system_clock::now();
        AppUsage usage("bench-participant:bench", "Bench", now, 1,
                       "org.example.Application" + std::to_string(i % 50), 1000 + i);
        auto began = Clock::now();
        if (!store.save(usage)) {
            std::fprintf(stderr, "the store refused a row\n");
            return 1;
        }
        handlerMs.push_back(millisecondsSince(began));

        began = Clock::now();
        SQLite::Statement insert(raw, kInsert);
        bindRow(insert, i, now);
        insert.exec();
        rawMs.push_back(millisecondsSince(began));
    }

    // The store's fetch and the same query alone, alternately; then the query without its
    // condition, first as it runs without an index of its own (a scan and sort of the whole
    // table), then with an index on the time stamp made for it here and dropped again.
    std::vector<double> fetchMs, rawFetchMs, plainScanMs, plainIndexMs;
    for (int i = 0; i < kFetches; ++i) {
        const auto began = Clock::now();
        const auto batch = store.fetchAllAppUsages(kBatch);
        fetchMs.push_back(millisecondsSince(began));
        if (batch.size() != static_cast<std::size_t>(kBatch)) {
            std::fprintf(stderr, "the store answered %zu rows\n", batch.size());
            return 1;
        }
        rawFetchMs.push_back(rawFetch(raw, PersistenceHandler::kSelectAppUsages.c_str()));
    }
    for (int i = 0; i < kScans; ++i) {
        plainScanMs.push_back(rawFetch(raw, kSelectPlain));
    }
    raw.exec(R"(CREATE INDEX "bench_time_stamp" ON "app_usages" ("time_stamp"))");
    for (int i = 0; i < kFetches; ++i) {
        plainIndexMs.push_back(rawFetch(raw, kSelectPlain));
    }
    raw.exec(R"(DROP INDEX "bench_time_stamp")");

    std::printf("stored rows: %d, inserts measured: %d, problems: %d\n", rows, inserts,
                logger->problems.load());
    std::printf("insert: p50 %.3f ms, p99 %.3f ms\n", bench::percentile(handlerMs, 0.5),
                bench::percentile(handlerMs, 0.99));
    std::printf("baseline insert: p50 %.3f ms, p99 %.3f ms\n", bench::percentile(rawMs, 0.5),
                bench::percentile(rawMs, 0.99));
    std::printf("fetch %d oldest: p50 %.4f ms\n", kBatch, bench::percentile(fetchMs, 0.5));
    std::printf("baseline fetch: p50 %.4f ms\n", bench::percentile(rawFetchMs, 0.5));
    std::printf("plain fetch, index on time_stamp: p50 %.4f ms\n",
                bench::percentile(plainIndexMs, 0.5));
    std::printf("plain fetch, no index: p50 %.3f ms\n", bench::percentile(plainScanMs, 0.5));
    std::filesystem::remove_all(folder);
    return logger->problems.load() == 0 ? 0 : 1;
}
