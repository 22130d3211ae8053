#include "platform/host/TRWInstallations.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <utility>

#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/security/Random.h"

namespace platform {

namespace {

constexpr char kSuiteName[] = "com.nexory.tarnwell.installations";
constexpr char kIdentifierKey[] = "installation_id";

// 16 random bytes in URL-safe base64 without padding: 22 characters.
std::optional<std::string> makeIdentifier() {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::array<std::uint8_t, 16> bytes{};
    if (!randomBytes(bytes)) return std::nullopt;
    std::string identifier;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (const auto byte : bytes) {
        buffer = (buffer << 8) | byte;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            identifier += kAlphabet[(buffer >> bits) & 63];
        }
    }
    if (bits > 0) identifier += kAlphabet[(buffer << (6 - bits)) & 63];
    return identifier;
}

}  // namespace

TRWInstallations& TRWInstallations::installations() {
    return SharedInstance<TRWInstallations>::get();
}

void TRWInstallations::installationIDWithCompletion(Completion completion) {
    globalQueue(QualityOfService::Utility).async([completion = std::move(completion)] {
        Error error;
        auto identifier = TRWInstallations::identifier(&error);
        if (!completion) return;
        if (identifier) {
            completion(std::move(identifier), std::nullopt);
        } else {
            completion(std::nullopt, std::move(error));
        }
    });
}

std::optional<std::string> TRWInstallations::identifier(Error* error) {
    bool made = false;
    std::optional<std::string> identifier;
    {
        // One maker at a time, so two first requests cannot make two identifiers.
        static std::mutex mutex;
        std::lock_guard lock(mutex);
        UserDefaults store(kSuiteName);
        if (auto stored = store.stringForKey(kIdentifierKey); stored && !stored->empty()) {
            return stored;
        }
        identifier = makeIdentifier();
        if (!identifier) {
            return failWith(
                error, {kTRWInstallationsErrorDomain, 1, "Could not make an installation ID", {}},
                std::optional<std::string>());
        }
        if (!store.setObject(*identifier, kIdentifierKey) || !store.synchronize()) {
            return failWith(
                error, {kTRWInstallationsErrorDomain, 2, "Could not store the installation ID", {}},
                std::optional<std::string>());
        }
        made = true;
    }
    if (made) {
        NotificationCenter::defaultCenter().postNotificationName(
            kTRWInstallationIDDidChangeNotification);
    }
    return identifier;
}

}  // namespace platform
