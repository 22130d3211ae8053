// What the caller pays for changes to user defaults, as the engine makes them: 100 sets in a row
// on one suite, the same followed by synchronize() (every change on disk), and one set followed
// by synchronize() (the price of one durable write of the suite). Real files in a temporary data
// root.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/foundation/Paths.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/UserDefaults.h"

namespace {

namespace fs = std::filesystem;

constexpr int kSets = 100;

class TemporaryDataRoot {
  public:
    TemporaryDataRoot() {
        std::string pattern = (fs::temp_directory_path() / "defaults-bench-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
        platform::resetSharedInstances();
        platform::setDataRoot(path_);
    }
    ~TemporaryDataRoot() {
        platform::resetSharedInstances();
        platform::setDataRoot({});
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TemporaryDataRoot(const TemporaryDataRoot&) = delete;
    TemporaryDataRoot& operator=(const TemporaryDataRoot&) = delete;

  private:
    fs::path path_;
};

std::vector<std::string> keys() {
    std::vector<std::string> names;
    for (int i = 0; i < kSets; ++i) {
        names.push_back("/bench/key/" + std::to_string(i));
    }
    return names;
}

void setAll(platform::UserDefaults& defaults, const std::vector<std::string>& names,
            std::int64_t round) {
    for (const auto& name : names) {
        defaults.setInteger(round, name);
    }
}

// With synchronize=1 every iteration ends with all 100 changes on disk.
void BM_HundredSets(benchmark::State& state) {
    const TemporaryDataRoot root;
    platform::UserDefaults defaults("bench.suite");
    const auto names = keys();
    const bool synchronizing = state.range(0) != 0;
    std::int64_t round = 0;
    for (auto _ : state) {
        setAll(defaults, names, ++round);
        if (synchronizing) benchmark::DoNotOptimize(defaults.synchronize());
    }
    defaults.synchronize();
    state.SetItemsProcessed(state.iterations() * kSets);
}
BENCHMARK(BM_HundredSets)
    ->ArgName("synchronize")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_OneSetThenSynchronize(benchmark::State& state) {
    const TemporaryDataRoot root;
    platform::UserDefaults defaults("bench.suite");
    const auto names = keys();
    setAll(defaults, names, 0);
    std::int64_t round = 0;
    for (auto _ : state) {
        defaults.setInteger(++round, names.front());
        benchmark::DoNotOptimize(defaults.synchronize());
    }
}
BENCHMARK(BM_OneSetThenSynchronize)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
