#pragma once

// One step of a worked solution: a title and a LaTeX formula, as a dictionary of texts so that the
// history and the result screen can keep and show it without knowing who wrote it.

#include <map>
#include <string>
#include <vector>

namespace app {

using SolutionStep = std::map<std::string, std::string>;
using SolutionSteps = std::vector<SolutionStep>;

// The keys of a step. A title that ends in "#bold" is shown in the heavy font, marker removed.
inline constexpr const char* kStepTitle = "title";
inline constexpr const char* kStepLatexString = "latexString";
// A plain message shown instead of the formula; nobody in the calculation core writes it.
inline constexpr const char* kStepMessageString = "messageString";

inline SolutionStep makeStep(std::string title, std::string latexString) {
    return {{kStepTitle, std::move(title)}, {kStepLatexString, std::move(latexString)}};
}

}  // namespace app
