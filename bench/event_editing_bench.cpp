// One event through the event-editing runtime (`handleEvent`, the collection after it included)
// for typical rule programs: none loaded, one renaming rule that does not match, one that does,
// two parameter edits plus a created event, and twenty renaming rules of which one matches. After
// the usual output it prints a table of events per second and microseconds per event, each beside
// the figure without a program (with --benchmark_repetitions, the medians).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/script/KLVPEventEditingRuntime.h"
#include "engine/script/ScriptNotation.h"

namespace {

using engine::testing::Activity;

engine::KLVPEvent appEvent(const char* name) {
    return engine::KLVPEvent::initWithName(name, 1'700'000'000.0,
                                           {{"level", std::int64_t{12}},
                                            {"score", 3456.5},
                                            {"character", "wizard"},
                                            {"mode", "hard"},
                                            {"currency", "EUR"},
                                            {"value", 9.99}});
}

std::string twentyRules() {
    std::string rules;
    for (int i = 0; i < 20; ++i) {
        rules += "(object \"type\" \"edit\" \"from\" \"e" + std::to_string(i) + "\" \"to\" \"r" +
                 std::to_string(i) + "\")\n";
    }
    return rules;
}

// Loads the activities (none: no program at all), checks one pass gives `expectedName` (and
// `created` events), then times passes over the same event.
void runEditing(benchmark::State& state, const std::vector<Activity>& activities,
                const char* eventName, const char* expectedName, std::size_t created) {
    engine::KLVPEventEditingRuntime editing;
    platform::Error error;
    if (!activities.empty() &&
        !editing.loadProgram(
            engine::testing::makeProgram(engine::testing::kEditingRulesProgram, activities),
            &error)) {
        state.SkipWithError("the program did not load");
        return;
    }
    const engine::KLVPEvent event = appEvent(eventName);
    // False also means "nothing changed"; the error and the outcome below tell what happened.
    (void)editing.handleEvent(event, &error);
    if (!error.domain.empty() || editing.eventContext().outputEvent().name != expectedName ||
        editing.eventContext().eventsToLog().size() != created) {
        state.SkipWithError("the program did not edit as expected");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(editing.handleEvent(event, &error));
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_NoProgram(benchmark::State& state) {
    runEditing(state, {}, "level_up", "level_up", 0);
}
BENCHMARK(BM_NoProgram);

void BM_RenameNotMatching(benchmark::State& state) {
    runEditing(state,
               {{"rename", R"((object "type" "edit" "from" "level_up" "to" "level_reached"))"}},
               "purchase", "purchase", 0);
}
BENCHMARK(BM_RenameNotMatching);

void BM_RenameMatching(benchmark::State& state) {
    runEditing(state,
               {{"rename", R"((object "type" "edit" "from" "level_up" "to" "level_reached"))"}},
               "level_up", "level_reached", 0);
}
BENCHMARK(BM_RenameMatching);

void BM_TwoParameterEditsAndACreatedEvent(benchmark::State& state) {
    runEditing(state, {{"enrich", R"((object "type" "edit" "campaign" "spring"))"}}, "level_up",
               "level_up", 1);
}
BENCHMARK(BM_TwoParameterEditsAndACreatedEvent);

void BM_TwentyRulesOneMatching(benchmark::State& state) {
    static const std::string rules = twentyRules();
    runEditing(state, {{"rename", rules.c_str()}}, "e7", "r7", 0);
}
BENCHMARK(BM_TwentyRulesOneMatching);

// The console output, then the table.
class TableReporter : public benchmark::ConsoleReporter {
  public:
    // One row a benchmark: its run, or with repetitions their median.
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.iterations == 0) continue;
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!single && !median) continue;
            rows_.push_back({run.run_name.str(),
                             run.real_accumulated_time / static_cast<double>(run.iterations)});
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        double baseline = 0;
        for (const Row& row : rows_) {
            if (row.name == "BM_NoProgram") baseline = row.secondsPerEvent;
        }
        std::printf("\n%-40s %14s %10s %14s\n", "handleEvent", "events/s", "us/event", "us added");
        for (const Row& row : rows_) {
            std::printf("%-40s %14.0f %10.3f %14.3f\n", row.name.c_str(), 1 / row.secondsPerEvent,
                        row.secondsPerEvent * 1e6, (row.secondsPerEvent - baseline) * 1e6);
        }
    }

  private:
    struct Row {
        std::string name;
        double secondsPerEvent;
    };
    std::vector<Row> rows_;
};

}  // namespace

int main(int argc, char** argv) {
    TableReporter reporter;
    return bench::runBenchmarks(&argc, argv, &reporter) ? 0 : 1;
}
