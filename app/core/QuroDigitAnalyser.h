#pragma once

// Counts decimal places, so that a decimal fraction can be expanded into whole numbers.

#include <string>

namespace app {

class QuroDigitAnalyser {
  public:
    QuroDigitAnalyser() = delete;

    // The larger count of digits after the "." of the two texts. A fractional part counts only
    // when it reads as a base-10 integer (so "5e-07" does not); no usable part gives 0.
    static double maxDecimalPlaces(const std::string& first, const std::string& second);
};

}  // namespace app
