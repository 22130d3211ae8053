#include "platform/security/Random.h"

#include "platform/security/OpenSSLInit.h"

#include <openssl/rand.h>

#include <algorithm>
#include <limits>

namespace platform {

bool randomBytes(std::span<std::uint8_t> out) {
    ensureOpenSSLInitialised();
    // RAND_bytes counts in int; larger requests are served piecewise.
    constexpr std::size_t kMaxPiece = std::numeric_limits<int>::max();
    while (!out.empty()) {
        const std::size_t n = std::min(out.size(), kMaxPiece);
        if (RAND_bytes(out.data(), static_cast<int>(n)) != 1) return false;
        out = out.subspan(n);
    }
    return true;
}

}  // namespace platform
