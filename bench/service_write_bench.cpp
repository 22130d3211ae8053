// Events per second from the measurement service's logEventWithOrigin to committed rows, one
// WAL transaction per event, with 90,000 raw events already stored; beside it, in the same run,
// one-row transactions per second of plain SQLite in the same mode (WAL, synchronous NORMAL), so
// that the two numbers can be read against each other on any machine.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/database/KLVDatabase.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "testkit/TempHome.h"

namespace {

using platform::Object;

constexpr char kAppID[] = "1:1001:ios:abc";
constexpr int kStoredEvents = 90000;
constexpr int kBatch = 500;

const platform::Dictionary& fiveParameters() {
    static const platform::Dictionary parameters = {
        {"level", 12}, {"score", 3456.5}, {"character", "wizard"}, {"mode", "hard"}, {"streak", 4},
    };
    return parameters;
}

void drain(engine::KLVMeasurement& service) {
    service.scheduler()->workerQueue()->sync([] {});
}

bool exec(sqlite3* db, const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A started service whose daily limits leave room for every timed event, with the stored rows
// copied from one logged event.
// Made once and never destroyed: the engine's threads outlive the benchmarks, and main() ends the
// process without running static destructors under them (see below).
testkit::TempHome& home() {
    static auto* made = new testkit::TempHome;
    return *made;
}

std::shared_ptr<engine::KLVMeasurement> startedService() {
    home();
    static const auto* service = new std::shared_ptr<engine::KLVMeasurement>([] {
        engine::KLVMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false,
                                                                  std::nullopt);
        auto made = engine::KLVMeasurement::sharedInstance();
        drain(*made);
        engine::KLVPBMeasurementConfig config;
        NANOSetString(config, engine::KLVPBMeasurementConfig::app_id, kAppID);
        std::vector<engine::KLVPBSetting> settings;
        for (const char* key : {"measurement.upload.max_events_per_day",
                                "measurement.upload.max_public_events_per_day",
                                "measurement.store.max_stored_events_per_app"}) {
            engine::KLVPBSetting setting;
            NANOSetString(setting, engine::KLVPBSetting::name, key);
            NANOSetString(setting, engine::KLVPBSetting::value, "1000000");
            settings.push_back(setting);
        }
        NANOSetArray(config, engine::KLVPBMeasurementConfig::settings, settings);
        made->scheduler()->workerQueue()->sync([&] {
            made->remoteConfigInstance()->updateMeasurementConfig(config);
            // An upload that has just succeeded puts the next one an uploading interval away:
            // the timed writes are not interleaved with bundling the stored backlog.
            made->persistedConfig()->setLastSuccessfulUploadTimestamp(
                platform::Clock::current().now());
        });
        made->logEventWithOrigin("app", true, "level_up", fiveParameters(), 1, true, false, false,
                                 nullptr, {});
        drain(*made);
        made->scheduler()->workerQueue()->sync([&] {
            sqlite3* db = nullptr;
            sqlite3_open(made->database()->sqliteStore().databasePath().c_str(), &db);
            exec(db, "WITH RECURSIVE n(i) AS (SELECT 2 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                         std::to_string(kStoredEvents) +
                         ") INSERT INTO raw_events SELECT name, timestamp, metadata_fingerprint, "
                         "data, is_realtime FROM raw_events, n WHERE raw_events.rowid = 1");
            sqlite3_close(db);
        });
        return made;
    }());
    return *service;
}

void BM_ServiceWrite(benchmark::State& state) {
    const auto service = startedService();
    // Events stamped around the current time: a timestamp far from it would make the stored
    // events look overdue for upload.
    double now = platform::Clock::current().now();
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            service->logEventWithOrigin("app", true, "level_up", fiveParameters(), now += 0.001,
                                        true, false, false, nullptr, {});
        }
        drain(*service);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.counters["events_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kBatch), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ServiceWrite)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RawSQLiteTransaction(benchmark::State& state) {
    const auto path = (home().path() / "raw.sqlite").string();
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    exec(db, "PRAGMA journal_mode=WAL");
    exec(db, "PRAGMA synchronous=NORMAL");
    exec(db,
         "CREATE TABLE IF NOT EXISTS raw_events (name TEXT, timestamp REAL, fp INTEGER, "
         "data BLOB)");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO raw_events VALUES ('level_up', ?, 1, zeroblob(120))", -1,
                       &insert, nullptr);
    double now = 1.8e9;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            exec(db, "BEGIN EXCLUSIVE TRANSACTION");
            sqlite3_bind_double(insert, 1, now += 0.001);
            sqlite3_step(insert);
            sqlite3_reset(insert);
            exec(db, "COMMIT");
        }
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.counters["transactions_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kBatch), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawSQLiteTransaction)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(home().path(), ignored);
    // The service's queues are still running: leave without static destructors under them.
    std::_Exit(0);
}
