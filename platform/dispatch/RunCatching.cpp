#include "platform/dispatch/RunCatching.h"

#include <exception>
#include <string>

#include "platform/foundation/Log.h"

namespace platform {

namespace {

void logEscaped(std::string_view where, std::string_view what) noexcept {
    try {
        std::string line = "Uncaught exception in ";
        line.append(where).append(": ").append(what);
        systemLog(line);
    } catch (...) {
        // Out of memory while reporting: nothing sensible is left to do.
    }
}

}  // namespace

bool runCatching(std::string_view where, const std::function<void()>& block) noexcept {
    try {
        block();
        return true;
    } catch (const std::exception& e) {
        logEscaped(where, e.what());
    } catch (...) {
        logEscaped(where, "unknown exception");
    }
    return false;
}

}  // namespace platform
