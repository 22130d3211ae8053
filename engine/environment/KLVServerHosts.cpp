#include "engine/environment/KLVServerHosts.h"

#include <charconv>

#include "platform/foundation/Bundle.h"

namespace engine {

namespace {

bool isHostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
}

bool isPort(std::string_view text) {
    unsigned port = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    return ec == std::errc() && end == text.data() + text.size() && port > 0 && port <= 65535;
}

std::optional<std::string> hostFor(const platform::Dictionary& info, const char* key) {
    const auto it = info.find(key);
    if (it == info.end()) return std::nullopt;
    const auto* text = it->second.getString();
    if (!text || !KLVServerHosts::isValidHost(*text)) return std::nullopt;
    return *text;
}

}  // namespace

bool KLVServerHosts::isValidHost(std::string_view host) {
    const auto colon = host.find(':');
    const std::string_view name = host.substr(0, colon);
    if (name.empty()) return false;
    for (const char c : name) {
        if (!isHostCharacter(c)) return false;
    }
    return colon == std::string_view::npos || isPort(host.substr(colon + 1));
}

bool KLVServerHosts::isValidSubdomain(std::string_view subdomain) {
    if (subdomain.empty()) return false;
    for (const char c : subdomain) {
        if (!isHostCharacter(c)) return false;
    }
    return true;
}

KLVServerHosts KLVServerHosts::fromInfoDictionary(const platform::Dictionary& info) {
    return {hostFor(info, kKLVConfigHostInfoPlistKey), hostFor(info, kKLVUploadHostInfoPlistKey),
            hostFor(info, kKLVAlternativeUploadHostInfoPlistKey),
            hostFor(info, kKLVAdServicesHostInfoPlistKey),
            hostFor(info, kKLVAttributionHostInfoPlistKey)};
}

KLVServerHosts KLVServerHosts::current() {
    return fromInfoDictionary(platform::Bundle::mainBundle().infoDictionary());
}

}  // namespace engine
