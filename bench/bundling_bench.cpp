// Raw events bundled per second by the measurement service from 90,000 stored events (default
// settings, no sampling), without audiences and with ten whose filters look at every event,
// beside the same work done by plain SQLite in the same run (read the rows in runs of 1,000,
// store one blob per run, delete the run, one transaction per run) as the limit to read it
// against; and the time of one upload of 100 queued bundles to a loopback server that takes
// them all.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/messages/NANOAccessors.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/net/HttpClient.h"
#include "testkit/LoopbackServer.h"
#include "testkit/TempHome.h"

namespace {

constexpr char kAppID[] = "1:1001:ios:abc";
constexpr char kHost[] = "upload.bench.test";
constexpr int kStoredEvents = 90000;
constexpr int kRunLength = 1000;
constexpr int kUploadBundles = 100;
constexpr int kAudiences = 10;

struct Statement {
    sqlite3_stmt* handle = nullptr;
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &handle, nullptr); }
    ~Statement() { sqlite3_finalize(handle); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
};

struct Connection {
    sqlite3* db = nullptr;
    explicit Connection(const std::string& path) { sqlite3_open(path.c_str(), &db); }
    ~Connection() { sqlite3_close(db); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    bool exec(const std::string& sql) const {
        return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    std::int64_t count(const std::string& table) const {
        Statement count(db, ("SELECT COUNT(*) FROM " + table).c_str());
        return sqlite3_step(count.handle) == SQLITE_ROW ? sqlite3_column_int64(count.handle, 0)
                                                        : -1;
    }
};

// Made once and never destroyed: the engine's threads outlive the benchmarks, and main() ends the
// process without running static destructors under them.
testkit::TempHome& home() {
    static auto* made = new testkit::TempHome;
    return *made;
}

testkit::LoopbackServer& server() {
    static auto* made = new testkit::LoopbackServer(testkit::LoopbackServer::Options{{kHost}});
    return *made;
}

void drain(engine::KLVMeasurement& service) {
    service.scheduler()->workerQueue()->sync([] {});
}

engine::KLVPBSetting setting(const char* name, const std::string& value) {
    engine::KLVPBSetting made;
    NANOSetString(made, engine::KLVPBSetting::name, name);
    NANOSetString(made, engine::KLVPBSetting::value, value);
    return made;
}

void configure(engine::KLVMeasurement& service, std::vector<engine::KLVPBSetting> settings) {
    engine::KLVPBMeasurementConfig config;
    NANOSetString(config, engine::KLVPBMeasurementConfig::app_id, kAppID);
    settings.push_back(setting("measurement.store.max_stored_events_per_app", "1000000"));
    NANOSetArray(config, engine::KLVPBMeasurementConfig::settings, settings);
    service.scheduler()->workerQueue()->sync(
        [&] { service.remoteConfigInstance()->updateMeasurementConfig(config); });
}

// A started service whose measurement host is the loopback server, with one logged event (and
// its metadata) kept as the template of the stored rows.
std::shared_ptr<engine::KLVMeasurement> startedService() {
    static const auto* service = new std::shared_ptr<engine::KLVMeasurement>([] {
        const auto bundle = home().path() / "bundle";
        std::filesystem::create_directories(bundle);
        platform::writePropertyListFile(bundle / "Info.plist",
                                        platform::Dictionary{
                                            {"CFBundleIdentifier", "com.example.tessaline"},
                                            {engine::kKLVUploadHostInfoPlistKey, kHost},
                                            {engine::kKLVConfigHostInfoPlistKey, kHost},
                                        },
                                        platform::PropertyListFormat::XML);
        platform::Bundle::setMainBundleDirectory(bundle);
        auto& client = platform::HttpClient::shared();
        client.setTrustedCertificates(server().certificatePEM());
        client.setConnectTo(kHost, "127.0.0.1", server().port());
        server().answer("POST", "/a", {204, {}, "", 0, false});

        engine::KLVMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false,
                                                                  std::nullopt);
        auto made = engine::KLVMeasurement::sharedInstance();
        drain(*made);
        configure(*made, {});
        made->scheduler()->workerQueue()->sync([&] {
            const Connection db(made->database()->sqliteStore().databasePath());
            db.exec("DELETE FROM raw_events");
            db.exec("DELETE FROM queue");
        });
        const platform::Dictionary parameters = {
            {"level", 12}, {"score", 3456.5}, {"character", "wizard"}, {"mode", "hard"}};
        made->logEventWithOrigin("app", true, "level_up", parameters,
                                 platform::Clock::current().now(), true, false, false, nullptr, {});
        drain(*made);
        made->scheduler()->workerQueue()->sync([&] {
            const Connection db(made->database()->sqliteStore().databasePath());
            db.exec("CREATE TABLE bench_raw AS SELECT * FROM raw_events");
            db.exec("CREATE TABLE bench_metadata AS SELECT * FROM raw_events_metadata");
        });
        return made;
    }());
    return *service;
}

// Stores `count` copies of the template event (and its metadata) and empties the upload queue.
void fillRawEvents(engine::KLVMeasurement& service, int count) {
    service.scheduler()->workerQueue()->sync([&] {
        const Connection db(service.database()->sqliteStore().databasePath());
        db.exec("DELETE FROM queue");
        db.exec("INSERT OR IGNORE INTO raw_events_metadata SELECT * FROM bench_metadata");
        db.exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                std::to_string(count) +
                ") INSERT INTO raw_events SELECT bench_raw.* FROM bench_raw, n");
    });
}

// Audiences whose event filters all look at the stored event's name and parameters, so every
// bundled event is evaluated against each of them.
std::vector<engine::KLVPBAudience> audiences() {
    engine::KLVPBNumberFilter between;
    NANOSetInt32(between, engine::KLVPBNumberFilter::comparison_type, 4);
    NANOSetString(between, engine::KLVPBNumberFilter::min_comparison_value, "0");
    NANOSetString(between, engine::KLVPBNumberFilter::max_comparison_value, "100");
    engine::KLVPBFilter level;
    NANOSetMessage(level, engine::KLVPBFilter::number_filter, &between);
    NANOSetString(level, engine::KLVPBFilter::param_name, "level");
    engine::KLVPBStringFilter wizard;
    NANOSetInt32(wizard, engine::KLVPBStringFilter::match_type, 1);
    NANOSetString(wizard, engine::KLVPBStringFilter::expression, "^wiz\\w+$");
    engine::KLVPBFilter character;
    NANOSetMessage(character, engine::KLVPBFilter::string_filter, &wizard);
    NANOSetString(character, engine::KLVPBFilter::param_name, "character");

    std::vector<engine::KLVPBAudience> made(kAudiences);
    for (int a = 0; a < kAudiences; ++a) {
        engine::KLVPBEventFilter filter;
        NANOSetInt32(filter, engine::KLVPBEventFilter::filter_id, 1);
        NANOSetString(filter, engine::KLVPBEventFilter::event_name, "level_up");
        NANOSetArray(filter, engine::KLVPBEventFilter::filters,
                     std::vector{a % 2 == 0 ? level : character});
        if (a % 3 == 0) NANOSetBool(filter, engine::KLVPBEventFilter::dynamic, true);
        NANOSetInt32(made[a], engine::KLVPBAudience::audience_id, a + 1);
        NANOSetArray(made[a], engine::KLVPBAudience::event_filters, std::vector{filter});
    }
    return made;
}

bool setAudiences(engine::KLVMeasurement& service,
                  const std::vector<engine::KLVPBAudience>& audiences) {
    bool stored = false;
    service.scheduler()->workerQueue()->sync([&] {
        stored = service.database()->performTransaction(
            [&] { return service.audienceUpdateAudiences(audiences); });
    });
    return stored;
}

void BM_BundleRawEvents(benchmark::State& state, bool withAudiences) {
    const auto service = startedService();
    if (!setAudiences(*service, withAudiences ? audiences() : std::vector<engine::KLVPBAudience>{}))
        state.SkipWithError("the audiences were not stored");
    for (auto _ : state) {
        state.PauseTiming();
        fillRawEvents(*service, kStoredEvents);
        state.ResumeTiming();
        service->scheduler()->workerQueue()->sync([&] {
            while (service->bundleRawEvents()) {
            }
        });
        state.PauseTiming();
        std::int64_t left = -1;
        service->scheduler()->workerQueue()->sync([&] {
            left =
                Connection(service->database()->sqliteStore().databasePath()).count("raw_events");
        });
        if (left != 0) state.SkipWithError("bundling stopped before the last stored event");
        state.ResumeTiming();
    }
    state.counters["events_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kStoredEvents), benchmark::Counter::kIsRate);
    setAudiences(*service, {});
}
BENCHMARK_CAPTURE(BM_BundleRawEvents, no_audiences, false)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_BundleRawEvents, ten_audiences, true)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The limit: the same rows bundled by plain SQLite, each run read, stored as one blob and
// deleted in one WAL transaction.
void BM_RawSQLiteBundling(benchmark::State& state) {
    const Connection db((home().path() / "raw-bundling.sqlite").string());
    db.exec("PRAGMA journal_mode=WAL");
    db.exec("PRAGMA synchronous=NORMAL");
    db.exec("CREATE TABLE IF NOT EXISTS raw (name TEXT, timestamp REAL, fp INTEGER, data BLOB)");
    db.exec("CREATE TABLE IF NOT EXISTS queue (data BLOB, end_timestamp REAL)");
    for (auto _ : state) {
        state.PauseTiming();
        db.exec("DELETE FROM queue");
        db.exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                std::to_string(kStoredEvents) +
                ") INSERT INTO raw SELECT 'level_up', i, 1, zeroblob(120) FROM n");
        state.ResumeTiming();
        const Statement read(db.db, "SELECT rowid, data FROM raw ORDER BY rowid LIMIT ?");
        const Statement store(db.db, "INSERT INTO queue VALUES (?, ?)");
        const Statement remove(db.db, "DELETE FROM raw WHERE rowid <= ?");
        for (bool more = true; more;) {
            db.exec("BEGIN EXCLUSIVE TRANSACTION");
            std::string blob;
            std::int64_t last = 0;
            sqlite3_bind_int(read.handle, 1, kRunLength);
            while (sqlite3_step(read.handle) == SQLITE_ROW) {
                last = sqlite3_column_int64(read.handle, 0);
                blob.append(static_cast<const char*>(sqlite3_column_blob(read.handle, 1)),
                            static_cast<std::size_t>(sqlite3_column_bytes(read.handle, 1)));
            }
            sqlite3_reset(read.handle);
            more = last != 0;
            if (more) {
                sqlite3_bind_blob(store.handle, 1, blob.data(), static_cast<int>(blob.size()),
                                  SQLITE_TRANSIENT);
                sqlite3_bind_double(store.handle, 2, static_cast<double>(last));
                sqlite3_step(store.handle);
                sqlite3_reset(store.handle);
                sqlite3_bind_int64(remove.handle, 1, last);
                sqlite3_step(remove.handle);
                sqlite3_reset(remove.handle);
            }
            db.exec("COMMIT");
        }
    }
    state.counters["events_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kStoredEvents), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawSQLiteBundling)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// One upload of 100 queued bundles of ten events each, all in one batch, answered 204.
void BM_UploadHundredBundles(benchmark::State& state) {
    const auto service = startedService();
    configure(*service, {setting("measurement.upload.max_events_per_bundle", "10"),
                         setting("measurement.upload.max_batch_size", "10485760")});
    for (auto _ : state) {
        state.PauseTiming();
        fillRawEvents(*service, kUploadBundles * 10);
        service->scheduler()->workerQueue()->sync([&] {
            while (service->bundleRawEvents()) {
            }
        });
        const std::size_t before = server().requests().size();
        state.ResumeTiming();
        service->scheduler()->workerQueue()->sync([&] { service->uploadData(); });
        bool pending = true;
        while (pending) {
            service->scheduler()->workerQueue()->sync(
                [&] { pending = service->isNetworkRequestPending(); });
        }
        state.PauseTiming();
        const auto requests = server().requests();
        if (requests.size() != before + 1) state.SkipWithError("expected one upload request");
        std::int64_t left = -1;
        service->scheduler()->workerQueue()->sync([&] {
            left = Connection(service->database()->sqliteStore().databasePath()).count("queue");
        });
        if (left != 0) state.SkipWithError("the upload left bundles in the queue");
        state.ResumeTiming();
    }
    configure(*service, {});
}
BENCHMARK(BM_UploadHundredBundles)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// A burst of stored events (TESSALINE_BURST_EVENTS, default 100,000) bundled and uploaded to the
// loopback server with a 10 MiB batch size: the peak resident set it adds to the idle process
// (the peak is reset just before the upload starts).
void BM_BurstUploadPeakMemory(benchmark::State& state) {
    const char* text = std::getenv("TESSALINE_BURST_EVENTS");
    const int events = text && std::atoi(text) > 0 ? std::atoi(text) : 100000;
    constexpr std::int64_t kBatchSize = 10 * 1024 * 1024;
    const auto service = startedService();
    configure(*service, {setting("measurement.upload.max_batch_size", std::to_string(kBatchSize)),
                         setting("measurement.upload.max_events_per_day", "1000000")});
    for (auto _ : state) {
        state.PauseTiming();
        fillRawEvents(*service, events);
        const double idle = bench::statusMiB("VmRSS");
        bench::resetPeakResidentSet();
        state.ResumeTiming();
        service->scheduler()->workerQueue()->sync([&] { service->uploadData(); });
        std::int64_t left = 1;
        for (int polls = 0; left != 0 && polls < 10'000'000; ++polls) {
            service->scheduler()->workerQueue()->sync([&] {
                const Connection db(service->database()->sqliteStore().databasePath());
                left = service->isNetworkRequestPending()
                           ? 1
                           : db.count("raw_events") + db.count("queue");
                if (left != 0 && !service->isNetworkRequestPending()) service->uploadData();
            });
        }
        state.PauseTiming();
        if (left != 0) state.SkipWithError("the burst was not uploaded");
        state.counters["idle_MiB"] = idle;
        state.counters["peak_added_MiB"] = bench::statusMiB("VmHWM") - idle;
        state.counters["limit_MiB"] = 2.0 * kBatchSize / (1024 * 1024) + 32;
        server().takeRequests();
        state.ResumeTiming();
    }
    configure(*service, {});
}
BENCHMARK(BM_BurstUploadPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (!bench::runBenchmarks(&argc, argv)) return 1;
    bench::exitUnderRunningService(home().path());
}
