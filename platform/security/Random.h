#pragma once

// Bytes from the system's cryptographically secure random source (OpenSSL's generator, seeded by
// the kernel): what identifiers and random 64-bit numbers are made from.

#include <cstdint>
#include <span>

namespace platform {

// Fills `out` entirely. False when the generator fails; `out` may then hold partly written bytes,
// and the caller decides what to make of them.
bool randomBytes(std::span<std::uint8_t> out);

}  // namespace platform
