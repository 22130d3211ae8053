#pragma once

// Growth of a buffer that has a cap. A vector grows by copying itself into a larger block while
// the old block is still held, so a step from capacity C costs C + C at its peak, and doubling up
// to the cap and then one step more (for the byte that shows an overflow, or a last chunk) holds
// nearly twice the cap. Here the capacity is either at most half the bound or the whole bound: the
// buffer doubles while the doubled capacity stays within half the bound and otherwise takes the
// bound at once, so no step copies more than half of it. Large blocks come from the system
// untouched and their pages become resident only as they are written, so filling a buffer up to
// its bound keeps it within the bound plus whatever chunk the caller is adding.

#include <algorithm>
#include <cstddef>

#include "platform/foundation/Object.h"

namespace platform {

// Makes room for `needed` bytes in `data`; the capacity stays at or below `bound` unless
// `needed` itself is larger.
inline void reserveWithin(Data& data, std::size_t needed, std::size_t bound) {
    if (needed <= data.capacity()) return;
    const std::size_t half = bound / 2;
    std::size_t next = std::max(needed, data.capacity() <= half / 2 ? data.capacity() * 2 : bound);
    if (next > half) next = std::max(needed, bound);
    data.reserve(next);
}

}  // namespace platform
