#include "engine/base/KLVDataAdditions.h"

#include <algorithm>

#include "platform/security/MD5.h"

namespace engine {

platform::Data klv_MD5Data(std::span<const std::uint8_t> data) {
    const auto digest = platform::md5Digest(data);
    if (!digest) return {};
    return platform::Data(digest->begin(), digest->end());
}

std::int64_t klv_64LSBMD5(std::span<const std::uint8_t> data) {
    return klv_64LeastSignificantBits(klv_MD5Data(data));
}

std::int64_t klv_64LeastSignificantBits(std::span<const std::uint8_t> data) {
    const auto tail = data.last(std::min<std::size_t>(data.size(), 8));
    std::uint64_t value = 0;
    for (const auto byte : tail)
        value = (value << 8) | byte;
    return static_cast<std::int64_t>(value);
}

}  // namespace engine
