#include "platform/security/VendorIdentifier.h"

#include <mutex>
#include <system_error>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Paths.h"
#include "platform/security/UUID.h"

namespace platform {

namespace {

constexpr std::size_t kUUIDLength = 36;

bool isUUIDText(const std::string& text) {
    if (text.size() != kUUIDLength) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

}  // namespace

std::filesystem::path vendorIdentifierPath() {
    return libraryDirectory() / "Device" / "identifierForVendor";
}

std::optional<std::string> identifierForVendor() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    const auto path = vendorIdentifierPath();
    if (auto stored = readTextFile(path); stored && isUUIDText(*stored)) return stored;

    // Missing or damaged: a new one replaces it, and what a killed write left goes.
    removeStaleTemporaryFiles(path);
    auto identifier = randomUUIDString();
    if (!identifier) return std::nullopt;
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    if (!writeFileAtomically(path, *identifier)) return std::nullopt;
    return identifier;
}

}  // namespace platform
