// One-row transactions per second, as the engine writes an event: through the SQLite store (an
// exclusive transaction around an upsert built from a record) against raw SQLite doing the same
// with one prepared statement in the store's mode (write-ahead log, synchronous=NORMAL), and, for
// comparison, raw SQLite with the rollback journal and full sync. Real files in a temporary
// folder.

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "engine/stores/KLVSqliteStore.h"

namespace {

namespace fs = std::filesystem;

const platform::Data kPayload(200, 0x5a);  // about the size of an encoded event

class TemporaryFolder {
  public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "sqlite-bench-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    fs::path file(const char* name) const { return path_ / name; }

  private:
    fs::path path_;
};

void BM_StoreOneRowTransaction(benchmark::State& state) {
    TemporaryFolder folder;
    auto store = engine::KLVSqliteStore::initWithDatabasePath(folder.file("store.sql").string());
    if (!store ||
        !store->ensureTableWithName(
            "raw_events",
            {{"name", "TEXT NOT NULL"}, {"timestamp", "REAL NOT NULL"}, {"data", "BLOB NOT NULL"}},
            {})) {
        state.SkipWithError("cannot open the store");
        return;
    }
    double timestamp = 1'700'000'000.0;
    for (auto _ : state) {
        timestamp += 0.001;
        const bool committed = store->performTransactionWithError(nullptr, [&] {
            return store->upsertRecord(
                {{"name", "_e"}, {"timestamp", timestamp}, {"data", kPayload}}, "raw_events");
        });
        if (!committed) state.SkipWithError("transaction failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreOneRowTransaction)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Argument 0: the store's mode; 1: rollback journal with full sync.
void BM_RawSqliteOneRowTransaction(benchmark::State& state) {
    TemporaryFolder folder;
    sqlite3* db = nullptr;
    sqlite3_open_v2(folder.file("raw.sql").c_str(), &db,
                    SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    const char* mode = state.range(0) == 0 ? "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                                           : "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;";
    sqlite3_exec(db, mode, nullptr, nullptr, nullptr);
    sqlite3_exec(db,
                 "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp REAL NOT NULL, "
                 "data BLOB NOT NULL)",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO raw_events (name, timestamp, data) VALUES (?, ?, ?)", -1,
                       &insert, nullptr);
    double timestamp = 1'700'000'000.0;
    for (auto _ : state) {
        timestamp += 0.001;
        sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
        sqlite3_bind_text(insert, 1, "_e", -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(insert, 2, timestamp);
        sqlite3_bind_blob(insert, 3, kPayload.data(), static_cast<int>(kPayload.size()),
                          SQLITE_TRANSIENT);
        if (sqlite3_step(insert) != SQLITE_DONE) state.SkipWithError("insert failed");
        sqlite3_reset(insert);
        sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr);
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawSqliteOneRowTransaction)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
