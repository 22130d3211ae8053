// Reads arbitrary bytes as JSON (remote configuration, the app's documents). Whatever reads must
// write, and what it writes must read back and write to the same text: a failure is a crash, a
// sanitizer report or a trap.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/foundation/Json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto object =
        platform::readJSON(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!object) return 0;
    const auto text = platform::writeJSON(*object);
    if (!text) __builtin_trap();
    const auto again = platform::readJSON(*text);
    if (!again || platform::writeJSON(*again) != text) __builtin_trap();
    return 0;
}
