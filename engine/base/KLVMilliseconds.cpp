#include "engine/base/KLVMilliseconds.h"

#include <cmath>

namespace engine {

std::optional<std::int64_t> KLVMillisecondsFromSeconds(double seconds) {
    const double milliseconds = std::trunc(seconds * 1000.0);
    // 2^63 is exactly representable; every double below it converts.
    constexpr double kLimit = 9223372036854775808.0;
    if (!std::isfinite(milliseconds) || milliseconds >= kLimit || milliseconds < -kLimit) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(milliseconds);
}

}  // namespace engine
