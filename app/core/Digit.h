#pragma once

// A term as typed into an input field: a fraction z/n whose numerator and denominator may each
// carry natural constants and one variable with a power. Terms are shared by reference between the
// input manager, the arithmetic and the logarithm rules, so a change made by one is seen by all.

#include <memory>
#include <optional>
#include <string>

#include "app/core/NaturalConstant.h"

namespace app {

class Digit {
  public:
    // Numerator; absent when no number was given (an empty input field).
    std::optional<double> z;
    double n = 1.0;
    NaturalConstants zConstants;
    NaturalConstants nConstants;
    std::string zVariable;  // one of variableTable, or empty
    std::string nVariable;
    double powerOfZVariable = 0.0;  // 1.0 once a variable was typed
    double powerOfNVariable = 0.0;

    // z ÷ n, times each numerator constant, divided by each denominator constant, in list order.
    // Absent without a numerator. Variables never enter the value.
    std::optional<double> value() const;

    // Overwrites every field of this term with the other's.
    void copy(const Digit& from);

    // z/n becomes n/z in place, constants, variables and their powers exchanged pairwise. A term
    // without numerator is left as it is.
    void invert();
};

using DigitRef = std::shared_ptr<Digit>;

inline DigitRef makeDigit() {
    return std::make_shared<Digit>();
}

}  // namespace app
