// Tessaline's entry point. The screens do not exist on Linux yet, so the program runs the deepest
// road that does: one example exercise per logarithm rule, solved step by step.

#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <optional>
#include <string>

#include "app/core/QuroLogarithmicIdentities.h"
#include "app/core/QuroMathOperation.h"
#include "app/core/QuroStringOutput.h"
#include "platform/foundation/Bundle.h"

namespace {

struct Exercise {
    const char* rule;
    std::optional<std::string> a, b, u, v;
};

// Indexed like the rules; the quotient rule's numbers also show the rewriting of the input.
const Exercise kExercises[app::kLogarithmRuleCount] = {
    {"Product rule", "2", std::nullopt, "4", "8"},
    {"Quotient rule", "2", std::nullopt, "1.5/2", "1/8"},
    {"Power rule", "2", std::nullopt, "4", "3"},
    {"Root rule", "2", std::nullopt, "64", "3"},
    {"Change of base", "2", "10", "8", std::nullopt},
    {"Power base", "2", "3", "4", "6"},
};

std::string resourceDirectory() {
    if (const char* fromEnvironment = std::getenv("TESSALINE_RESOURCES");
        fromEnvironment && *fromEnvironment) {
        return fromEnvironment;
    }
    return TESSALINE_RESOURCE_DIR;
}

// Runs one calculation as the calculate screen does: the step buffer is emptied before and after.
void solve(int ruleIndex, const Exercise& exercise) {
    auto& output = app::QuroStringOutput::shared();
    output.solutionSteps.clear();
    output.solutionStepCounter = 0;
    app::QuroLogarithmicIdentities calculator;
    const auto result =
        calculator.calculateIdentity(exercise.a, "aTextField", exercise.b, "bTextField", exercise.u,
                                     "uTextField", exercise.v, "vTextField", ruleIndex);

    std::cout << "\n"
              << ruleIndex << ". " << exercise.rule << ": " << result.latexString.value_or("")
              << "\n";
    if (result.errorText) {
        std::cout << "   input error: " << *result.errorText << "\n";
    } else {
        int number = 1;
        for (const auto& step : *result.solutionSteps) {
            std::cout << "   " << std::setw(2) << number++ << "  " << std::left << std::setw(22)
                      << step.at(app::kStepTitle) << std::right << step.at(app::kStepLatexString)
                      << "\n";
        }
    }
    output.solutionSteps.clear();
    output.solutionStepCounter = 0;
    app::QuroMathOperation::shared().withFraction = false;
}

}  // namespace

int main() {
    platform::Bundle::setMainBundleDirectory(resourceDirectory());
    std::cout
        << "Tessaline \u2014 the app's screens are not built yet on Linux; solving one example "
           "exercise per logarithm rule (step title, then its LaTeX):\n";
    for (int rule = 0; rule < app::kLogarithmRuleCount; ++rule)
        solve(rule, kExercises[rule]);
    return 0;
}
