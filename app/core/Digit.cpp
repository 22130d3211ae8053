#include "app/core/Digit.h"

#include <utility>

namespace app {

std::optional<double> Digit::value() const {
    if (!z) return std::nullopt;
    // One operation at a time, in this order, so that the result is the same double everywhere.
    double v = *z / n;
    for (const auto& constant : zConstants)
        v = v * constant.value;
    for (const auto& constant : nConstants)
        v = v / constant.value;
    return v;
}

void Digit::copy(const Digit& from) {
    z = from.z;
    zConstants = from.zConstants;
    n = from.n;
    nConstants = from.nConstants;
    zVariable = from.zVariable;
    nVariable = from.nVariable;
    powerOfZVariable = from.powerOfZVariable;
    powerOfNVariable = from.powerOfNVariable;
}

void Digit::invert() {
    if (!z) return;
    const double oldZ = *z;
    z = n;
    n = oldZ;
    std::swap(zConstants, nConstants);
    std::swap(zVariable, nVariable);
    std::swap(powerOfZVariable, powerOfNVariable);
}

}  // namespace app
