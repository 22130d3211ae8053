// Types arbitrary text into the calculator: the first byte picks the logarithm rule (or an
// unknown one), the rest is the fields a, b, u and v, one per line. Parsing, rewriting and
// solving must end without a crash or a sanitizer report.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/QuroLogarithmicIdentities.h"
#include "platform/foundation/Bundle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        platform::Bundle::setMainBundleDirectory(TESSALINE_RESOURCE_DIR);
        return true;
    }();
    (void)ready;
    if (size == 0) return 0;
    const int rule = int(data[0] % 8) - 1;  // -1 and 6 are unknown rules
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::optional<std::string>> fields(4);
    for (auto& field : fields) {
        if (rest.empty()) break;
        const auto end = rest.find('\n');
        field = std::string(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    app::QuroLogarithmicIdentities identities;
    const auto result =
        identities.calculateIdentity(fields[0], "aTextField", fields[1], "bTextField", fields[2],
                                     "uTextField", fields[3], "vTextField", rule);
    (void)result;
    return 0;
}
