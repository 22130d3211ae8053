#pragma once

// MD5 digests (OpenSSL EVP). Not for security: the engine uses MD5 for fingerprints, checksums and
// hashed identifiers whose format is fixed by the measurement host.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace platform {

using MD5Digest = std::array<std::uint8_t, 16>;

// The 16-byte digest; nullopt only when the crypto library cannot provide MD5 at all (a build
// restricted to approved algorithms).
std::optional<MD5Digest> md5Digest(std::span<const std::uint8_t> bytes);
// Digest of the text's bytes (UTF-8 for the text the engine hashes).
std::optional<MD5Digest> md5Digest(std::string_view text);

}  // namespace platform
