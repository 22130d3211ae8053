// Events per second from the measurement service's logEventWithOrigin to committed rows, offline
// (no upload takes stored events away), with 90,000 raw events already stored, in two rhythms:
// paced (each event logged after the previous one is committed) and in bursts (10,000 logged at
// once). Then the same two rhythms at the cap of stored events (the default 100,000, the table
// full), where every new event makes the oldest one go, as on a phone that stays offline.
// Beside them, in the same run, one-row transactions per second of plain SQLite in the same
// mode (WAL, synchronous NORMAL), so that the numbers can be read against each other on any
// machine; the summary at the end prints the ratios. A first run logs 100,000 events at once and
// reports how much the burst added to the resident set of the idle process at its peak.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/net/Reachability.h"
#include "platform/utilities/WDLLogger.h"
#include "testkit/TempHome.h"

namespace {

using platform::Object;

constexpr char kAppID[] = "1:1001:ios:abc";
constexpr int kStoredEvents = 90000;
constexpr int kPacedEvents = 2000;
constexpr int kBurstEvents = 10000;
constexpr int kMemoryBurstEvents = 100000;
constexpr int kRawTransactions = 2000;
// The default cap of stored events.
constexpr int kStoredEventsCap = 100000;
constexpr int kNoCap = 1000000;

// The rates of this run, for the summary.
double gRawRate[2] = {0, 0};
double gPacedRate = 0;
double gBurstRate = 0;
double gPacedAtCapRate = 0;
double gBurstAtCapRate = 0;
double gIdleMiB = 0;
double gPeakMiB = 0;

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

// Daily limits that leave room for every timed event, and the given cap of stored events.
void configure(engine::KLVMeasurement& service, int maxStoredEvents) {
    engine::KLVPBMeasurementConfig config;
    NANOSetString(config, engine::KLVPBMeasurementConfig::app_id, kAppID);
    std::vector<engine::KLVPBSetting> settings;
    const std::pair<const char*, int> values[] = {
        {"measurement.upload.max_events_per_day", kNoCap},
        {"measurement.upload.max_public_events_per_day", kNoCap},
        {"measurement.store.max_stored_events_per_app", maxStoredEvents},
    };
    for (const auto& [key, value] : values) {
        engine::KLVPBSetting setting;
        NANOSetString(setting, engine::KLVPBSetting::name, key);
        NANOSetString(setting, engine::KLVPBSetting::value, std::to_string(value));
        settings.push_back(setting);
    }
    NANOSetArray(config, engine::KLVPBMeasurementConfig::settings, settings);
    service.scheduler()->workerQueue()->sync(
        [&] { service.remoteConfigInstance()->updateMeasurementConfig(config); });
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
        // The console shows errors only, as in the app: a line for every event deleted at the
        // cap would time the console.
        platform::WDLSetLoggerLevel(platform::kWDLLoggerLevelError);
        engine::KLVMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false,
                                                                  std::nullopt);
        auto made = engine::KLVMeasurement::sharedInstance();
        drain(*made);
        configure(*made, kNoCap);
        made->scheduler()->workerQueue()->sync([&] {
            // An upload that has just succeeded puts the next one an uploading interval away:
            // the timed writes are not interleaved with bundling the stored backlog.
            made->persistedConfig()->setLastSuccessfulUploadTimestamp(
                platform::Clock::current().now());
            // Offline, as a phone that meets the cap is: an upload due meanwhile (the real-time
            // interval is seconds) finds no network and leaves the stored events in place.
            platform::Reachability::shared().setReachable(false);
        });
        made->logEventWithOrigin("app", true, "level_up", fiveParameters(),
                                 platform::Clock::current().now(), true, false, false, nullptr, {});
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

// Events stamped around the current time: a timestamp far from it would make the stored events
// look overdue for upload.
double nextTimestamp() {
    static double now = platform::Clock::current().now();
    return now += 0.0001;
}

void logOne(engine::KLVMeasurement& service) {
    service.logEventWithOrigin("app", true, "level_up", fiveParameters(), nextTimestamp(), true,
                               false, false, nullptr, {});
}

void BM_BurstPeakMemory(benchmark::State& state) {
    const auto service = startedService();
    for (auto _ : state) {
        gIdleMiB = bench::statusMiB("VmRSS");
        bench::resetPeakResidentSet();
        for (int i = 0; i < kMemoryBurstEvents; ++i)
            logOne(*service);
        drain(*service);
        gPeakMiB = bench::statusMiB("VmHWM");
    }
    state.counters["idle_MiB"] = gIdleMiB;
    state.counters["added_peak_MiB"] = gPeakMiB - gIdleMiB;
}
BENCHMARK(BM_BurstPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

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
        for (int i = 0; i < kRawTransactions; ++i) {
            exec(db, "BEGIN EXCLUSIVE TRANSACTION");
            sqlite3_bind_double(insert, 1, now += 0.001);
            sqlite3_step(insert);
            sqlite3_reset(insert);
            exec(db, "COMMIT");
        }
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * kRawTransactions);
    state.counters["transactions_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kRawTransactions), benchmark::Counter::kIsRate);
}

// Each event logged once the one before is committed.
void timePaced(benchmark::State& state, engine::KLVMeasurement& service) {
    for (auto _ : state) {
        for (int i = 0; i < kPacedEvents; ++i) {
            logOne(service);
            drain(service);
        }
    }
    state.SetItemsProcessed(state.iterations() * kPacedEvents);
    state.counters["events_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kPacedEvents), benchmark::Counter::kIsRate);
}

// kBurstEvents logged at once, then waited for.
void timeBurst(benchmark::State& state, engine::KLVMeasurement& service) {
    for (auto _ : state) {
        for (int i = 0; i < kBurstEvents; ++i)
            logOne(service);
        drain(service);
    }
    state.SetItemsProcessed(state.iterations() * kBurstEvents);
    state.counters["events_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kBurstEvents), benchmark::Counter::kIsRate);
}

void BM_ServiceWritePaced(benchmark::State& state) {
    timePaced(state, *startedService());
}

void BM_ServiceWriteBurst(benchmark::State& state) {
    timeBurst(state, *startedService());
}

// The table at the default cap: the first event, before the timing, takes the table down to the
// cap; from then on each timed event makes exactly one old event go.
std::shared_ptr<engine::KLVMeasurement> serviceAtCap() {
    const auto service = startedService();
    configure(*service, kStoredEventsCap);
    logOne(*service);
    drain(*service);
    return service;
}

std::int64_t storedEvents(engine::KLVMeasurement& service) {
    std::int64_t count = 0;
    service.scheduler()->workerQueue()->sync([&] {
        const auto number =
            service.database()->sqliteStore().numberForQuery("SELECT COUNT(*) FROM raw_events", {});
        count = number ? number->asInteger() : -1;
    });
    return count;
}

void BM_ServiceWritePacedAtCap(benchmark::State& state) {
    const auto service = serviceAtCap();
    timePaced(state, *service);
    state.counters["stored"] = static_cast<double>(storedEvents(*service));
}

void BM_ServiceWriteBurstAtCap(benchmark::State& state) {
    const auto service = serviceAtCap();
    timeBurst(state, *service);
    state.counters["stored"] = static_cast<double>(storedEvents(*service));
    configure(*service, kNoCap);
}

// Raw SQLite before and after the service's runs, so that a change of load during the run shows.
// The runs at the cap come last: they take the table down to it.
BENCHMARK(BM_RawSQLiteTransaction)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ServiceWritePaced)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ServiceWriteBurst)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ServiceWritePacedAtCap)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ServiceWriteBurstAtCap)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RawSQLiteTransaction)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps the rates the benchmarks measured (their rate counters) for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const std::string name = run.benchmark_name();
            if (name.rfind("BM_RawSQLiteTransaction", 0) == 0) {
                gRawRate[rawRuns_++ % 2] = rate(run, "transactions_per_s");
            } else if (name.rfind("BM_ServiceWritePacedAtCap", 0) == 0) {
                gPacedAtCapRate = rate(run, "events_per_s");
            } else if (name.rfind("BM_ServiceWriteBurstAtCap", 0) == 0) {
                gBurstAtCapRate = rate(run, "events_per_s");
            } else if (name.rfind("BM_ServiceWritePaced", 0) == 0) {
                gPacedRate = rate(run, "events_per_s");
            } else if (name.rfind("BM_ServiceWriteBurst", 0) == 0) {
                gBurstRate = rate(run, "events_per_s");
            }
        }
    }

  private:
    static double rate(const Run& run, const char* counter) {
        const auto it = run.counters.find(counter);
        return it == run.counters.end() ? 0 : it->second.value;
    }
    int rawRuns_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    SummaryReporter reporter;
    if (!bench::runBenchmarks(&argc, argv, &reporter)) return 1;
    const double raw = (gRawRate[0] + gRawRate[1]) / 2;
    if (raw > 0) {
        std::printf("raw SQLite one-row transactions/s: %.0f (runs %.0f and %.0f)\n", raw,
                    gRawRate[0], gRawRate[1]);
        std::printf("paced: %.0f events/s = %.2f of raw\n", gPacedRate, gPacedRate / raw);
        std::printf("burst of %d: %.0f events/s = %.2f of raw\n", kBurstEvents, gBurstRate,
                    gBurstRate / raw);
        std::printf("paced at the cap of %d stored: %.0f events/s = %.2f of raw\n",
                    kStoredEventsCap, gPacedAtCapRate, gPacedAtCapRate / raw);
        std::printf("burst of %d at the cap of %d stored: %.0f events/s = %.2f of raw\n",
                    kBurstEvents, kStoredEventsCap, gBurstAtCapRate, gBurstAtCapRate / raw);
    }
    if (gPeakMiB > 0) {
        std::printf("burst of %d: idle %.1f MiB, peak %.1f MiB, added %.1f MiB\n",
                    kMemoryBurstEvents, gIdleMiB, gPeakMiB, gPeakMiB - gIdleMiB);
    }
    bench::exitUnderRunningService(home().path());
}
