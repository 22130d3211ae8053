#pragma once

// The one object through which terms are combined: products, quotients, cancelling and powers,
// with the LaTeX of the working so that callers can show it when they want to.

#include <cstdint>
#include <optional>
#include <string>

#include "app/core/Digit.h"
#include "app/core/QuroStringOutput.h"

namespace app {

// A product or quotient, the working written out, and the cancelling of the result (if any).
struct OperationResult {
    DigitRef result;
    std::optional<std::string> working;
    std::optional<std::string> cancelStep;
};

// The reduced term (absent when nothing cancels) and the step that shows the cancelling.
struct CancelResult {
    DigitRef term;
    std::optional<std::string> text;
};

struct RoundedValue {
    double value = 0;
    bool changed = false;  // whether the rounding is worth telling the user about
};

class QuroMathOperation {
  public:
    // true: multiply and divide keep fractions and show fraction texts; false: decimals.
    bool withFraction = false;
    bool negativeSqrt = false;
    bool isAnyNumberChanged = false;
    bool cancelDownDone = false;
    // The signed divisor found by the last cancelDown.
    std::optional<std::int64_t> divisor;

    static QuroMathOperation& shared();

    // The step buffer; held for the calculators, never written here.
    QuroStringOutput& outputHelper() const { return QuroStringOutput::shared(); }

    OperationResult multiply(const Digit& a, const Digit& b);
    // a ÷ b; with `forceDecimal` (or without withFraction) as a decimal.
    OperationResult divide(const Digit& a, const Digit& b, bool forceDecimal);
    // Cancels t by the greatest common divisor of its whole parts and by a constant that stands in
    // both numerator and denominator; sets `divisor` (negative when t's denominator is).
    CancelResult cancelDown(const Digit& t);
    // t raised to `exponent`; its value is always t's value raised to `exponent`.
    DigitRef power(const Digit& t, double exponent) const;
    // x rounded half away from zero to n decimal places.
    static RoundedValue roundToDecimalPlaces(double x, int n);

  private:
    OperationResult finish(DigitRef r, std::string working);
};

}  // namespace app
