#pragma once

// Bytes from the system's cryptographically secure random source (OpenSSL's generator, seeded by
// the kernel): what identifiers and random 64-bit numbers are made from.

#include <cstdint>
#include <functional>
#include <span>

namespace platform {

// Fills `out` entirely. False when the generator fails; `out` may then hold partly written bytes,
// and the caller decides what to make of them.
bool randomBytes(std::span<std::uint8_t> out);

// A uniform integer in [0, bound), without modulo bias; 0 for a bound of 0 or 1, and 0 when the
// generator fails.
std::uint32_t randomUniform(std::uint32_t bound);

// Replaces the source of randomUniform (tests script their draws with it); an empty function
// restores the generator. resetSharedInstances() restores it too.
void setRandomUniformSource(std::function<std::uint32_t(std::uint32_t bound)> source);

}  // namespace platform
