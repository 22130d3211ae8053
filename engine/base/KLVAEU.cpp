#include "engine/base/KLVAEU.h"

#include <array>
#include <string_view>
#include <system_error>

#include "platform/foundation/Bundle.h"
#include "platform/utilities/WDLAppEnvironmentUtil.h"

namespace engine {

namespace {

constexpr char kReceiptCheckEnabledKey[] = "TarnwellAppStoreReceiptURLCheckEnabled";
constexpr std::array<std::string_view, 2> kSimulatorModels = {"x86_64", "i386"};

bool fileExists(const std::filesystem::path& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

// Store builds on the phone are encrypted, and the loader says so in the executable's header.
// Executables on this platform carry no such mark, so none counts as encrypted.
bool isExecutableEncrypted() {
    return false;
}

}  // namespace

std::optional<std::filesystem::path> KLVAEU::appStoreRURL() {
    const auto& bundle = platform::Bundle::mainBundle();
    const auto& check = bundle.objectForInfoDictionaryKey(kReceiptCheckEnabledKey);
    if (check.isNumber() && check.numberAsDouble().value_or(0) == 0) return std::nullopt;
    const auto storeKit = bundle.resourceDirectory() / "StoreKit";
    if (fileExists(storeKit / "sandboxReceipt")) return storeKit / "sandboxReceipt";
    return storeKit / "receipt";
}

bool KLVAEU::isFAS() {
    if (isNOD() || isASRS()) return false;
    const auto& bundle = platform::Bundle::mainBundle();
    if (fileExists(bundle.resourceDirectory() / "SC_Info")) return true;
    return isExecutableEncrypted() && !bundle.pathForResource("embedded", "mobileprovision");
}

bool KLVAEU::isASRS() {
    const auto receipt = appStoreRURL();
    return receipt && receipt->filename() == "sandboxReceipt";
}

bool KLVAEU::isNOD() {
    const std::string model = deviceModel();
    for (const auto simulator : kSimulatorModels) {
        if (model == simulator) return true;
    }
    return false;
}

std::string KLVAEU::deviceModel() {
    return platform::WDLAppEnvironmentUtil::deviceModel();
}

std::string KLVAEU::systemVersion() {
    return platform::WDLAppEnvironmentUtil::systemVersion();
}

bool KLVAEU::isAEX() {
    const std::string path = platform::Bundle::mainBundle().resourceDirectory().string();
    constexpr std::string_view kSuffix = ".appex";
    std::string_view trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.remove_suffix(1);
    return trimmed.ends_with(kSuffix);
}

}  // namespace engine
