#pragma once

// MD5 digests of data and the 64-bit numbers the engine takes from them (fingerprints of stored
// metadata, bundle checksums).

#include <cstdint>
#include <span>

#include "platform/foundation/Object.h"

namespace engine {

// The 16-byte MD5 digest; empty only when the crypto library offers no MD5 at all.
platform::Data klv_MD5Data(std::span<const std::uint8_t> data);

// klv_64LeastSignificantBits of the MD5 digest: its bytes 8 to 15 read big-endian.
std::int64_t klv_64LSBMD5(std::span<const std::uint8_t> data);

// The last 8 bytes (all of them when fewer) read as a big-endian number; 0 for no bytes.
std::int64_t klv_64LeastSignificantBits(std::span<const std::uint8_t> data);

}  // namespace engine
