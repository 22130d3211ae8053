// The public event call on a started engine, on the caller's thread: name validation, the screen
// parameters, the timestamp section and the enqueue (no disk). Each call is timed on its own so
// that the median and the 99th percentile can be reported; the queues are drained between runs,
// outside the timing.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/base/KLVScheduler.h"
#include "engine/frontdoor/KLVAnalytics.h"
#include "engine/frontdoor/TRWAnalytics.h"
#include "platform/host/TRWApp.h"
#include "testkit/TempHome.h"

namespace {

using platform::Object;

const platform::Dictionary& fiveParameters() {
    static const platform::Dictionary parameters = {
        {"level", 12}, {"score", 3456.5}, {"character", "wizard"}, {"mode", "hard"}, {"streak", 4},
    };
    return parameters;
}

void drainEngine() {
    engine::KLVAnalytics::waitForQueues();
    if (const auto service = engine::KLVMeasurementService::sharedInstance()) {
        service->scheduler()->workerQueue()->sync([] {});
    }
}

// Made once and never destroyed: the engine's threads outlive the benchmark, and main() ends the
// process without running static destructors under them (a static data root's reset waited 30 s
// at exit for queues already stopped, then failed).
testkit::TempHome& home() {
    static auto* made = new testkit::TempHome;
    return *made;
}

void BM_LogEventWithName(benchmark::State& state) {
    (void)home();
    static const bool started = [] {
        platform::TRWOptions options;
        options.nexoryAppID = "1:1001:ios:abc";
        platform::TRWApp::configure(options);
        drainEngine();
        return true;
    }();
    (void)started;
    constexpr std::size_t kBatch = 2000;
    std::vector<double> micros;
    micros.reserve(kBatch);
    for (auto _ : state) {
        state.PauseTiming();
        drainEngine();
        micros.clear();
        state.ResumeTiming();
        for (std::size_t i = 0; i < kBatch; ++i) {
            const auto begin = std::chrono::steady_clock::now();
            engine::TRWAnalytics::logEventWithName("level_up", fiveParameters());
            const auto end = std::chrono::steady_clock::now();
            micros.push_back(std::chrono::duration<double, std::micro>(end - begin).count());
        }
        state.PauseTiming();
        std::sort(micros.begin(), micros.end());
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[micros.size() * 99 / 100];
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
    drainEngine();
}
BENCHMARK(BM_LogEventWithName)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (!bench::runBenchmarks(&argc, argv)) return 1;
    bench::exitUnderRunningService(home().path());
}
