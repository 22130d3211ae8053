// Reads arbitrary bytes as a property list, XML or binary (preferences, Info.plist, stores).
// Whatever reads must write in the binary form (unless it holds text the format cannot carry),
// and what it writes must read back to the same content; the XML form must read back. Content
// is compared through the XML form: the binary writer shares equal objects by a hash of its own,
// so its bytes for one content may differ from one run to the next. Only the XML form may be
// refused for the memory its reading would take: escapes and base64 make its text longer, and
// it repeats what the binary form shares.
// A failure is a crash, a sanitizer report or a trap.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using platform::PropertyListFormat;
    const auto object =
        platform::readPropertyList(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!object) return 0;
    const auto binary = platform::writePropertyList(*object, PropertyListFormat::Binary);
    if (!binary) return 0;  // e.g. a key holding a NUL character, read from XML
    const auto again = platform::readPropertyList(*binary);
    if (!again) __builtin_trap();
    platform::Error error;
    const auto xml = platform::writePropertyList(*object, PropertyListFormat::XML, &error);
    if (!xml && error.description.find("bytes in memory") != std::string::npos) return 0;
    if (!xml || !platform::readPropertyList(*xml)) __builtin_trap();
    if (platform::writePropertyList(*again, PropertyListFormat::XML) != xml) __builtin_trap();
    return 0;
}
