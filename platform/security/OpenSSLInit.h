#pragma once

namespace platform {

// Initialises libcrypto once, without its exit-time clean-up. Queues that live for the process
// (the engine's monitor queue, for one) may still hash or draw random bytes while the process
// exits; libcrypto's own atexit handler would free its locks under them.
void ensureOpenSSLInitialised();

}  // namespace platform
