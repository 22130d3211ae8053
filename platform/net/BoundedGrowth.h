#pragma once

// Growth of a buffer that has a cap: vector growth doubles, so a buffer filled up to its cap could
// hold nearly twice the cap in memory. This doubles too, but never past `bound`.

#include <algorithm>
#include <cstddef>

#include "platform/foundation/Object.h"

namespace platform {

// Makes room for `needed` bytes in `data`; the capacity stays at or below `bound` unless
// `needed` itself is larger.
inline void reserveWithin(Data& data, std::size_t needed, std::size_t bound) {
    if (needed <= data.capacity()) return;
    const std::size_t doubled = data.capacity() > bound / 2 ? bound : data.capacity() * 2;
    data.reserve(std::max(needed, doubled));
}

}  // namespace platform
