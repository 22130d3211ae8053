#pragma once

// Seconds (doubles, as the engine keeps times) to the signed 64-bit milliseconds that messages
// carry, truncated toward zero.

#include <cstdint>
#include <optional>

namespace engine {

// Nothing for NaN, the infinities and times whose milliseconds do not fit 64 bits: those have no
// millisecond form, and converting them would be undefined.
std::optional<std::int64_t> KLVMillisecondsFromSeconds(double seconds);

}  // namespace engine
