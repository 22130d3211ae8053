// Decodes arbitrary text as one of the app's remote-configuration documents: the first byte picks
// the document (or one of its records), the rest is its JSON text. What decodes must encode, and
// the encoding must decode to the same value: a failure is a crash, a sanitizer report or a trap.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "app/services/RemoteConfigManager.h"
#include "app/services/RemoteConfigModels.h"

namespace {

template <typename T>
void roundTrip(std::string_view text) {
    const auto value = app::decodeDocument<T>(text);
    if (!value) return;
    const std::string encoded = nlohmann::json(*value).dump();
    const auto again = app::decodeDocument<T>(encoded);
    if (!again || !(*again == *value)) __builtin_trap();
}

// The documents as the manager loads them (it prints what fails to decode).
template <typename T>
void load(std::string_view text) {
    const auto value =
        app::RemoteConfigManager::decodeValue<T>(platform::Data(text.begin(), text.end()));
    if (value) roundTrip<T>(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 8) {
        case 0:
            load<app::AllAppMetaData>(text);
            break;
        case 1:
            load<app::QuroAdsDocument>(text);
            break;
        case 2:
            load<app::OffersDocument>(text);
            break;
        case 3:
            load<app::ZirReferenceData>(text);
            break;
        case 4:
            load<app::VideoTutorialsDocument>(text);
            break;
        case 5:
            roundTrip<app::AppMetaData>(text);
            break;
        case 6:
            roundTrip<app::QuroAdData>(text);
            break;
        default:
            roundTrip<app::OfferData>(text);
            break;
    }
    return 0;
}
