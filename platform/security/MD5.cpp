#include "platform/security/MD5.h"

#include "platform/security/OpenSSLInit.h"

#include <openssl/evp.h>

namespace platform {

std::optional<MD5Digest> md5Digest(std::span<const std::uint8_t> bytes) {
    ensureOpenSSLInitialised();
    MD5Digest digest{};
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_md5(), nullptr) != 1 ||
        size != digest.size()) {
        return std::nullopt;
    }
    return digest;
}

std::optional<MD5Digest> md5Digest(std::string_view text) {
    return md5Digest(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace platform
