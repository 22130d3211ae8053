#pragma once

// The four quadrants of the unit circle, written as Roman numerals; kept by the unit-circle chart.

#include <optional>
#include <string>
#include <string_view>

namespace app {

enum class Quadrant { first, second, third, fourth };

// "I", "II", "III", "IV".
std::string_view rawValue(Quadrant quadrant);
// Exactly one of the four raw values (case-sensitive), else none.
std::optional<Quadrant> quadrantFromRawValue(std::string_view rawValue);

}  // namespace app
