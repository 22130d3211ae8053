#include "platform/security/Random.h"

#include "platform/security/OpenSSLInit.h"

#include <openssl/rand.h>

#include <algorithm>
#include <limits>
#include <mutex>
#include <utility>

#include "platform/foundation/SharedInstance.h"

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

namespace {

struct UniformSource {
    std::mutex mutex;
    std::function<std::uint32_t(std::uint32_t)> draw;
};

UniformSource& uniformSource() {
    return SharedInstance<UniformSource>::get();
}

std::uint32_t generatorUniform(std::uint32_t bound) {
    if (bound < 2) return 0;
    // Values below `floor` would favour the low residues: drawn again.
    const std::uint32_t floor = static_cast<std::uint32_t>(-bound) % bound;
    for (;;) {
        std::uint32_t value = 0;
        if (!randomBytes(std::span(reinterpret_cast<std::uint8_t*>(&value), sizeof value)))
            return 0;
        if (value >= floor) return value % bound;
    }
}

}  // namespace

std::uint32_t randomUniform(std::uint32_t bound) {
    std::function<std::uint32_t(std::uint32_t)> draw;
    {
        UniformSource& source = uniformSource();
        std::lock_guard lock(source.mutex);
        draw = source.draw;
    }
    if (!draw) return generatorUniform(bound);
    const std::uint32_t value = draw(bound);
    return bound < 2 ? 0 : value % bound;
}

void setRandomUniformSource(std::function<std::uint32_t(std::uint32_t bound)> source) {
    UniformSource& shared = uniformSource();
    std::lock_guard lock(shared.mutex);
    shared.draw = std::move(source);
}

}  // namespace platform
