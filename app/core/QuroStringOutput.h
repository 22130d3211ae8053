#pragma once

// A step buffer, and the pieces from which steps are written: numbers and terms as LaTeX. A
// calculation owns its buffer, into which its input manager and its rules append, and hands the
// steps on with its result; the process-wide one is what the calculator shells hold.

#include <cstdint>
#include <optional>
#include <string>

#include "app/core/Digit.h"
#include "app/core/SolutionStep.h"

namespace app {

class QuroStringOutput {
  public:
    std::int64_t solutionStepCounter = 0;
    SolutionSteps solutionSteps;

    static QuroStringOutput& shared();

    // A double as LaTeX: "0" below 1e-10 in magnitude, "\infty" / "-\infty" beyond ±1e12 when
    // `allowInfinity`, negative numbers in brackets unless `noBrackets`; then the constants, the
    // variable and the unit.
    static std::string latexNumber(double value, const std::string& unit,
                                   const NaturalConstants& constants, const std::string& variable,
                                   int maximumFractionDigits, bool allowInfinity, bool noBrackets);

    // A term as LaTeX. `bracketMode` absent brackets a text that starts with "-", true always,
    // false never; `keepSigns` prints numerator and denominator with their own signs (and tiny
    // values as they are) instead of one combined leading minus. A term without numerator gives
    // the empty text.
    static std::string latexTerm(const Digit& term, const std::string& unit,
                                 std::optional<bool> bracketMode, bool forceFraction,
                                 bool keepSigns, int maximumFractionDigits);

    // The term's variables: " x", " x^{2.0}", "\frac{1}{y}", or absent without variables.
    static std::optional<std::string> latexVariablePart(const Digit& term);

    // The cancelling of `term` by `divisor` (and the constants of the divisor) as one fraction.
    static std::string latexRatio(const Digit& term, const NaturalConstants& constants,
                                  double divisor);

    // The unreduced fraction divided by `divisor`, then the reduced term; absent for a divisor
    // below 2 (or none).
    static std::optional<std::string> latexDivisionStep(const Digit& reduced,
                                                        std::optional<std::int64_t> divisor);
};

// The settings with which every term of a solution is printed: no unit, no brackets, no forced
// fraction, one combined sign, ten fraction digits (`keepSigns` prints the signs as typed).
std::string latexOfTerm(const Digit& term, bool keepSigns = false);

// The setting with which every computed number of a solution is printed.
std::string latexOfNumber(double value);

}  // namespace app
