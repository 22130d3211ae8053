#include "platform/security/OpenSSLInit.h"

#include <openssl/crypto.h>

#include <mutex>

namespace platform {

void ensureOpenSSLInitialised() {
    static std::once_flag once;
    std::call_once(once, [] {
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_CRYPTO_STRINGS |
                                OPENSSL_INIT_ADD_ALL_DIGESTS,
                            nullptr);
    });
}

}  // namespace platform
