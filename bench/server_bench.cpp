// ulvarend-server under load, next to its database's own single-row INSERT rate taken in the
// same run: 50 senders on kept-alive HTTPS connections as fast as they go, then paced at
// 1,000 records/s; the status page's queries and a CSV export at 2,000 households and a million
// records. SQLite in a temporary folder, PostgreSQL started here (fsync on) on 127.0.0.1.
// Usage: server_bench [records per sender (200)] [rows for the page and export (1000000)]

#include "server/CollectionServer.h"
#include "server/CsvExport.h"
#include "server/RecordStore.h"
#include "support/Postgres.h"
#include "support/TestCertificates.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <httplib.h>
#include <libpq-fe.h>
#include <spdlog/spdlog.h>
#include <thread>

namespace {

using namespace ulvarend;
using namespace ulvarend::server;
using Clock = std::chrono::steady_clock;

constexpr int kSenders = 50;
constexpr int kHouseholds = 2000;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string body(int sender, int index, const std::string& tag) {
    return R"({"participant_identifier":"h)" + std::to_string(sender) +
           R"(:Åse","device_model_name":"LENOVO","user_count":2,"date":"2026-03-01T12:00:00Z","package":"org.)" +
           tag + "." + std::to_string(index) + R"(","duration":)" + std::to_string(index) + "}";
}

struct LoadResult {
    double rate = 0;
    double p50ms = 0;
    double p99ms = 0;
    int failures = 0;
};

// `perSender` records from each of 50 senders; `interval` zero: as fast as answers come.
LoadResult load(int port, const std::string& ca, int perSender, Clock::duration interval,
                const std::string& tag) {
    std::vector<std::vector<double>> latencies(kSenders);
    std::atomic<int> failures{0};
    const auto start = Clock::now();
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            httplib::SSLClient client("127.0.0.1", port);
            client.set_ca_cert_path(ca.c_str());
            client.enable_server_certificate_verification(true);
            client.set_basic_auth("bench", "bench-secret");
            client.set_keep_alive(true);
            // As libcurl, which the agent uses, does by default.
            client.set_tcp_nodelay(true);
            // Senders start spread over one interval, as independent agents would.
            auto next = start + interval * s / kSenders;
            for (int i = 0; i < perSender; ++i) {
                if (interval.count() > 0) {
                    std::this_thread::sleep_until(next);
                    next += interval;
                }
                const auto sent = Clock::now();
                const auto result =
                    client.Post("/v1/app_usages", body(s, i, tag), "application/json");
                latencies[static_cast<std::size_t>(s)].push_back(seconds(Clock::now() - sent) *
                                                                 1000);
                if (!result || result->status != 200) {
                    ++failures;
                }
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    const double elapsed = seconds(Clock::now() - start);
    std::vector<double> all;
    for (const auto& one : latencies) {
        all.insert(all.end(), one.begin(), one.end());
    }
    std::sort(all.begin(), all.end());
    LoadResult result;
    result.rate = static_cast<double>(all.size()) / elapsed;
    result.p50ms = all[all.size() / 2];
    result.p99ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    result.failures = failures;
    return result;
}

// SQLite's own rate: one row per transaction, with the same durability (WAL, synchronous=FULL)
// and a table of the same shape and keys.
double sqliteBaseline(const std::string& folder, int rows) {
    SQLite::Database db(folder + "/baseline.sqlite3",
                        SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | SQLite::OPEN_FULLMUTEX);
    db.exec("PRAGMA journal_mode=WAL");
    db.exec("PRAGMA synchronous=FULL");
    db.exec("CREATE TABLE t (id INTEGER PRIMARY KEY, p TEXT, m TEXT, d TEXT, k TEXT,"
            " n INTEGER, r TEXT, UNIQUE (p, d, k, n))");
    SQLite::Statement insert(db, "INSERT INTO t (p, m, d, k, n, r) VALUES (?, ?, ?, ?, ?, ?)");
    const auto start = Clock::now();
    for (int i = 0; i < rows; ++i) {
        insert.bind(1, "h1:Åse");
        insert.bind(2, "LENOVO");
        insert.bind(3, "2026-03-01T12:00:00Z");
        insert.bind(4, "org.baseline." + std::to_string(i));
        insert.bind(5, i);
        insert.bind(6, "2026-03-01T12:00:00.000Z");
        insert.exec();
        insert.reset();
    }
    return rows / seconds(Clock::now() - start);
}

// PostgreSQL's own rate with the same 50-way concurrency: a connection each, one row per
// transaction, a table of the same shape and keys.
double postgresBaseline(const std::string& connection, int perSender) {
    PGconn* setup = PQconnectdb(connection.c_str());
    PQclear(PQexec(setup, "CREATE TABLE baseline (id BIGSERIAL PRIMARY KEY, p TEXT, m TEXT,"
                          " d TIMESTAMPTZ, k TEXT, n BIGINT, r TIMESTAMPTZ,"
                          " UNIQUE (p, d, k, n))"));
    PQfinish(setup);
    const auto start = Clock::now();
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            PGconn* db = PQconnectdb(connection.c_str());
            for (int i = 0; i < perSender; ++i) {
                const std::string p = "h" + std::to_string(s) + ":Åse";
                const std::string k = "org.baseline." + std::to_string(i);
                const std::string n = std::to_string(i);
                const char* values[] = {p.c_str(), "LENOVO",  "2026-03-01T12:00:00Z",
                                        k.c_str(), n.c_str(), "2026-03-01T12:00:00.000Z"};
                PQclear(PQexecParams(db,
                                     "INSERT INTO baseline (p, m, d, k, n, r) VALUES"
                                     " ($1, $2, $3, $4, $5, $6)",
                                     6, nullptr, values, nullptr, nullptr, 0));
            }
            PQfinish(db);
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    return kSenders * perSender / seconds(Clock::now() - start);
}

void fillSqlite(const std::string& folder, int rows) {
    SQLite::Database db(folder + "/records.sqlite3", SQLite::OPEN_READWRITE);
    SQLite::Transaction transaction(db);
    SQLite::Statement insert(db, "INSERT INTO app_usages (participant_identifier, household,"
                                 " member, device_model_name, user_count, date, package, duration,"
                                 " received_at) VALUES (?, ?, ?, 'LENOVO', 2, ?, ?, ?, ?)");
    const auto now = std::chrono::system_clock::now();
    for (int i = 0; i < rows; ++i) {
        const std::string household = "house-" + std::to_string(i % kHouseholds);
        const std::string member = i % 3 == 0 ? "Åse" : "Bo";
        // Spread over 60 days back from now.
        const auto received = now - std::chrono::seconds(static_cast<long long>(i) * 5184 / 1000);
        insert.bind(1, household + ":" + member);
        insert.bind(2, household);
        insert.bind(3, member);
        insert.bind(4, formatRfc3339(received - std::chrono::seconds(30)));
        insert.bind(5, "org.app." + std::to_string(i % 50));
        insert.bind(6, i);
        insert.bind(7, formatReceived(received));
        insert.exec();
        insert.reset();
    }
    db.exec("INSERT INTO members SELECT household, member, min(received_at), max(received_at)"
            " FROM app_usages WHERE true GROUP BY household, member"
            " ON CONFLICT DO UPDATE SET last_received = excluded.last_received");
    transaction.commit();
    db.exec("ANALYZE");
}

void fillPostgres(const std::string& connection, int rows) {
    PGconn* db = PQconnectdb(connection.c_str());
    const std::string n = std::to_string(rows);
    const std::string households = std::to_string(kHouseholds);
    PQclear(PQexec(db, ("INSERT INTO app_usages (participant_identifier, household, member,"
                        " device_model_name, user_count, date, package, duration, received_at)"
                        " SELECT 'house-' || (i % " +
                        households +
                        ") || ':' ||"
                        " CASE WHEN i % 3 = 0 THEN 'Åse' ELSE 'Bo' END, 'house-' || (i % " +
                        households +
                        "), CASE WHEN i % 3 = 0 THEN 'Åse' ELSE 'Bo' END,"
                        " 'LENOVO', 2, now() - i * interval '5.184 seconds' - interval '30 s',"
                        " 'org.app.' || (i % 50), i, now() - i * interval '5.184 seconds'"
                        " FROM generate_series(0, " +
                        n + " - 1) AS i")
                           .c_str()));
    PQclear(PQexec(db, "INSERT INTO members SELECT household, member, min(received_at),"
                       " max(received_at) FROM app_usages GROUP BY household, member"
                       " ON CONFLICT (household, member) DO UPDATE SET"
                       " last_received = excluded.last_received"));
    PQclear(PQexec(db, "VACUUM ANALYZE"));
    PQfinish(db);
}

double medianMs(const std::function<void()>& work, int times = 5) {
    std::vector<double> all;
    for (int i = 0; i < times; ++i) {
        const auto start = Clock::now();
        work();
        all.push_back(seconds(Clock::now() - start) * 1000);
    }
    std::sort(all.begin(), all.end());
    return all[all.size() / 2];
}

void row(const char* figure, const std::string& measured, const std::string& baseline,
         const char* target) {
    std::printf("| %s | %s | %s | %s |\n", figure, measured.c_str(), baseline.c_str(), target);
    std::fflush(stdout);
}

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
    char text[128];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    const int perSender = argc > 1 ? std::atoi(argv[1]) : 200;
    const int rows = argc > 2 ? std::atoi(argv[2]) : 1000000;
    spdlog::set_level(spdlog::level::warn);
    testing::TestCertificates certificates;
    ServerConfig config;
    config.listen = {"127.0.0.1", 0};
    config.statusListen.reset();
    config.tlsCertificate = certificates.serverCertFile();
    config.tlsKey = certificates.serverKeyFile();
    config.credentials = Credential{"bench", "bench-secret"};

    std::printf("| Figure | Measured | Baseline (same run) | Target |\n| --- | --- | --- | --- "
                "|\n");
    for (const std::string kind : {"SQLite", "PostgreSQL"}) {
        const auto folder = testing::makeTemporaryFolder("ulvarend-server-bench-");
        std::unique_ptr<testing::Postgres> postgres;
        std::shared_ptr<RecordStore> store;
        double baseline = 0;
        if (kind == "SQLite") {
            baseline = sqliteBaseline(folder.string(), kSenders * perSender / 2);
            store = makeSqliteStore(folder.string());
        } else {
            postgres = std::make_unique<testing::Postgres>(/*durable=*/true);
            baseline = postgresBaseline(postgres->connectionString(), perSender);
            store = makePostgresStore(postgres->connectionString(), 64);
        }
        CollectionServer server(config, store);
        std::string whyNot;
        if (!server.start(&whyNot)) {
            std::fprintf(stderr, "server_bench: %s\n", whyNot.c_str());
            return 1;
        }
        const auto fast =
            load(server.port(), certificates.caFile(), perSender, Clock::duration::zero(), "fast");
        row((kind + ": records/s, 50 senders on kept-alive HTTPS connections, p50/p99").c_str(),
            format("%.0f/s, p50 %.1f ms, p99 %.1f ms", fast.rate, fast.p50ms, fast.p99ms) +
                (fast.failures > 0 ? " (" + std::to_string(fast.failures) + " failed)" : ""),
            format("plain single-row INSERT: %.0f/s", baseline), "≥ half the baseline");
        // 1,000 records/s: 50 senders, one record each 50 ms, for 5 seconds.
        const auto paced =
            load(server.port(), certificates.caFile(), 100, std::chrono::milliseconds(50), "paced");
        row((kind + ": latency at 1,000 records/s (50 senders)").c_str(),
            format("p50 %.1f ms, p99 %.1f ms (%.0f/s kept)", paced.p50ms, paced.p99ms, paced.rate) +
                (paced.failures > 0 ? " (" + std::to_string(paced.failures) + " failed)" : ""),
            "", "p99 < 50 ms");
        server.stop();

        if (rows > 0) {
            if (kind == "SQLite") {
                store.reset();
                fillSqlite(folder.string(), rows);
                store = makeSqliteStore(folder.string());
            } else {
                fillPostgres(postgres->connectionString(), rows);
            }
            const auto now = std::chrono::system_clock::now();
            // The page as staff load it, over its own listener: the first load counts the
            // chart's history, later ones only today and yesterday.
            ServerConfig withPage = config;
            withPage.statusListen = Listen{"127.0.0.1", 0};
            withPage.statusCredentials = Credential{"staff", "staff-secret"};
            CollectionServer pageServer(withPage, store);
            if (!pageServer.start(&whyNot)) {
                std::fprintf(stderr, "server_bench: %s\n", whyNot.c_str());
                return 1;
            }
            httplib::Client browser("127.0.0.1", pageServer.statusPort());
            browser.set_basic_auth("staff", "staff-secret");
            browser.set_read_timeout(60, 0);
            std::size_t bytes = 0;
            const double first = medianMs([&] { bytes = browser.Get("/")->body.size(); }, 1);
            const double page = medianMs([&] { bytes = browser.Get("/")->body.size(); });
            pageServer.stop();
            row((kind + ": status page, " + std::to_string(kHouseholds) + " households, " +
                 std::to_string(rows) + " records")
                    .c_str(),
                format("first load %.0f ms, then %.0f ms (median of 5; %.0f kB)", first, page,
                       static_cast<double>(bytes) / 1000),
                format("households and their counts alone: %.0f ms",
                       medianMs([&] { store->households(now); })),
                "");
            const auto out = folder / "export";
            const auto start = Clock::now();
            exportCsv(*store, TimePoint{}, now + std::chrono::hours(1), out.string(), &whyNot);
            const double exportSeconds = seconds(Clock::now() - start);
            row((kind + ": CSV export of " + std::to_string(rows) + " records").c_str(),
                format("%.1f s (%.0f MB)", exportSeconds,
                       static_cast<double>(std::filesystem::file_size(out / "app_usages.csv")) /
                           1e6),
                "", "");
        }
        store.reset();
        std::filesystem::remove_all(folder);
    }
    return 0;
}
