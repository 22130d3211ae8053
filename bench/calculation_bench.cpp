// One whole calculation per logarithm rule, as the calculate button runs it: a fresh calculator,
// input parsing and rewriting, the rule's steps, and the step buffer emptied around it.

#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "app/core/QuroLogarithmicIdentities.h"
#include "app/core/QuroMathOperation.h"
#include "app/core/QuroStringOutput.h"
#include "platform/foundation/Bundle.h"

namespace {

struct Exercise {
    std::optional<std::string> a, b, u, v;
};

const Exercise kExercises[app::kLogarithmRuleCount] = {
    {"2", std::nullopt, "4", "8"},  {"2", std::nullopt, "1.5/2", "3/4"},
    {"2", std::nullopt, "4", "3"},  {"2", std::nullopt, "64", "3"},
    {"2", "10", "8", std::nullopt}, {"2", "3", "4", "6"},
};

void BM_Calculation(benchmark::State& state) {
    const int rule = static_cast<int>(state.range(0));
    const Exercise& exercise = kExercises[rule];
    auto& output = app::QuroStringOutput::shared();
    for (auto _ : state) {
        output.solutionSteps.clear();
        app::QuroLogarithmicIdentities calculator;
        auto result =
            calculator.calculateIdentity(exercise.a, "aTextField", exercise.b, "bTextField",
                                         exercise.u, "uTextField", exercise.v, "vTextField", rule);
        benchmark::DoNotOptimize(result);
        app::QuroMathOperation::shared().withFraction = false;
    }
    output.solutionSteps.clear();
}
BENCHMARK(BM_Calculation)->DenseRange(0, app::kLogarithmRuleCount - 1);

}  // namespace
