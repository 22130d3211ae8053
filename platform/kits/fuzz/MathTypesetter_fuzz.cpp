// Typesets arbitrary bytes as a formula. Whatever the source, the result is bounded: finite
// extents, as many glyphs as the source has characters or fewer (a radical, a delimiter or a
// fraction adds a few), and a source shown as itself is the source made valid. A failure is a
// crash, a sanitizer report or a trap.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/foundation/Text.h"
#include "platform/kits/MathTypesetter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    const auto layout = platform::typesetMath(source, 24.2);
    const auto finite = [](double v) { return std::isfinite(v) && std::abs(v) < 1e7; };
    if (!finite(layout.width) || !finite(layout.ascent) || !finite(layout.descent) ||
        layout.width < 0 || !finite(layout.baselineIn(56)))
        __builtin_trap();
    if (layout.source && *layout.source != platform::toValidUTF8(source)) __builtin_trap();
    if (layout.glyphs.size() > 4 * size + 8 || layout.rules.size() > 4 * size + 8) __builtin_trap();
    for (const auto& g : layout.glyphs)
        if (!finite(g.x) || !finite(g.y) || !(g.size > 0)) __builtin_trap();
    return 0;
}
