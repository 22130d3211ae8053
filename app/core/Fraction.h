#pragma once

// A plain fraction record, kept by the calculator shells for their inputs.

#include <optional>

namespace app {

struct Fraction {
    std::optional<double> z;  // absent when not given
    double n = 1.0;
};

}  // namespace app
