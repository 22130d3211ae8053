#include "platform/dispatch/ProcessExit.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "platform/foundation/NoDestructor.h"

namespace platform::processexit {

namespace {

// How long exit() waits for running blocks; a block stuck longer than this does not hold the
// process.
constexpr auto kMaximumWait = std::chrono::seconds(2);

struct Gate {
    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;
    bool exiting = false;
};

Gate& gate() {
    static NoDestructor<Gate> instance;
    return instance.get();
}

// Whether this thread is inside a block it entered through the gate (exit() may be called from
// one, and must not wait for itself).
thread_local bool insideBlock = false;

void closeGate() {
    Gate& g = gate();
    std::unique_lock lock(g.mutex);
    g.exiting = true;
    const int self = insideBlock ? 1 : 0;
    g.idle.wait_for(lock, kMaximumWait, [&] { return g.running <= self; });
}

}  // namespace

void installHandlerOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        gate();
        std::atexit(closeGate);
    });
}

void closeForExit() {
    closeGate();
}

bool enterBlock() {
    Gate& g = gate();
    std::lock_guard lock(g.mutex);
    if (g.exiting) return false;
    ++g.running;
    insideBlock = true;
    return true;
}

void leaveBlock() {
    Gate& g = gate();
    std::lock_guard lock(g.mutex);
    --g.running;
    insideBlock = false;
    if (g.exiting) g.idle.notify_all();
}

bool isExiting() {
    Gate& g = gate();
    std::lock_guard lock(g.mutex);
    return g.exiting;
}

}  // namespace platform::processexit
