// The event's main road up to storage: an app-style event is validated, sanitised, turned into
// its message and stored as a raw event in a real measurement database in a temporary data root.
// One event per transaction, as the worker queue writes them, and batches of 10,000 events in one
// transaction; plus the validation and message steps alone.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVEvent.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/foundation/Object.h"
#include "testkit/TempHome.h"

namespace {

using platform::Object;

// What an app logs: a few numbers and strings, and a purchase with three items.
const platform::Dictionary& appParameters() {
    static const platform::Dictionary parameters = {
        {"level", 12},
        {"score", 3456.5},
        {"character", "wizard"},
        {"mode", "hard"},
        {"currency", "EUR"},
        {"value", 9.99},
        {"items", Object::array({Object::dict({{"item_id", "sku-1"}, {"price", 3.33}}),
                                 Object::dict({{"item_id", "sku-2"}, {"quantity", 2}}),
                                 Object::dict({{"item_id", "sku-3"}, {"colour", "red"}})})},
    };
    return parameters;
}

std::optional<engine::KLVEvent> makeEvent(double timestamp) {
    return engine::KLVEvent::initWithOrigin("app", true, "purchase", timestamp, 0, appParameters());
}

class BenchDatabase {
  public:
    BenchDatabase()
        : database_(engine::KLVDatabase::initWithDatabaseName(
              engine::kKLVMeasurementDatabaseName, engine::KLVPersistedConfig::sharedInstance())) {}
    engine::KLVDatabase* get() { return database_.get(); }

  private:
    testkit::TempHome home_;  // first: it outlives the database
    std::unique_ptr<engine::KLVDatabase> database_;
};

bool storeEvent(engine::KLVDatabase& database, double timestamp) {
    const auto event = makeEvent(timestamp);
    return event && database.insertRawEvent(*event, 42, false);
}

void BM_BuildEvent(benchmark::State& state) {
    double timestamp = 1'700'000'000.0;
    for (auto _ : state) {
        auto event = makeEvent(timestamp += 0.001);
        benchmark::DoNotOptimize(event);
    }
}
BENCHMARK(BM_BuildEvent);

void BM_BuildEventMessage(benchmark::State& state) {
    double timestamp = 1'700'000'000.0;
    for (auto _ : state) {
        auto bytes = makeEvent(timestamp += 0.001)->protoEvent().protoBuffer();
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_BuildEventMessage);

void BM_StoreOneEvent(benchmark::State& state) {
    BenchDatabase database;
    if (!database.get()) {
        state.SkipWithError("cannot open the database");
        return;
    }
    double timestamp = 1'700'000'000.0;
    for (auto _ : state) {
        const bool stored = database.get()->performTransaction(
            [&] { return storeEvent(*database.get(), timestamp += 0.001); });
        if (!stored) state.SkipWithError("store failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreOneEvent);

void BM_Store10000Events(benchmark::State& state) {
    BenchDatabase database;
    if (!database.get()) {
        state.SkipWithError("cannot open the database");
        return;
    }
    constexpr int kEvents = 10'000;
    double timestamp = 1'700'000'000.0;
    for (auto _ : state) {
        const bool stored = database.get()->performTransaction([&] {
            for (int i = 0; i < kEvents; ++i) {
                if (!storeEvent(*database.get(), timestamp += 0.001)) return false;
            }
            return true;
        });
        if (!stored) state.SkipWithError("store failed");
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_Store10000Events)->Unit(benchmark::kMillisecond);

}  // namespace
