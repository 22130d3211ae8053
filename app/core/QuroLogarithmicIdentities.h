#pragma once

// The app's calculator: applies one of six logarithm identities to the numbers the user typed and
// writes the worked solution as titled LaTeX steps, which its result carries.

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "app/core/Digit.h"
#include "app/core/QuroMathOperation.h"
#include "app/core/QuroStringOutput.h"
#include "app/core/SolutionStep.h"

namespace app {

// The result of one calculation: the steps and the task's LaTeX, or an input error.
struct IdentityResult {
    std::optional<std::string> errorText;  // an error key of the input grammar
    std::optional<std::vector<std::string>> errorFieldIds;
    std::optional<SolutionSteps> solutionSteps;
    std::optional<std::string> latexString;
};

// The rules by index, as the calculate screen numbers them.
enum class LogarithmRule {
    productRule = 0,
    quotientRule = 1,
    powerRule = 2,
    rootRule = 3,
    changeOfBaseRule = 4,
    powerBaseRule = 5,
};

inline constexpr int kLogarithmRuleCount = 6;

// A calculator serves one calculation: its arithmetic and its step buffer are its own, so the
// steps and the fraction mode of one calculation never reach another.
class QuroLogarithmicIdentities {
  public:
    // The terms of the current calculation in the field order a, b, u, v.
    std::optional<std::vector<DigitRef>> allInputs;

    QuroMathOperation& operation() { return operation_; }
    QuroStringOutput& output() { return output_; }
    const QuroStringOutput& output() const { return output_; }

    // Reads the four fields with a fresh input manager and, when they are valid, runs the rule of
    // `ruleIndex`. An absent text counts as empty. Only the fields the rule uses are read.
    IdentityResult calculateIdentity(const std::optional<std::string>& a, const std::string& aId,
                                     const std::optional<std::string>& b, const std::string& bId,
                                     const std::optional<std::string>& u, const std::string& uId,
                                     const std::optional<std::string>& v, const std::string& vId,
                                     int ruleIndex);

    void productRule();
    void quotientRule();
    void powerRule();
    void rootRule();
    void changeOfBaseRule();
    void powerBaseRule();

  private:
    QuroMathOperation operation_;
    QuroStringOutput output_;

    // Whether the terms at these positions exist and have a numerator; a rule run without them
    // (not through calculateIdentity) writes nothing.
    bool hasNumbers(std::initializer_list<std::size_t> positions) const;
    const Digit& term(std::size_t position) const;
    void appendStep(const std::string& title, std::string latexString);
};

}  // namespace app
