// Decodes arbitrary bytes as a rule program, loads it with stand-in modules and hands it two
// events, and up to kEvents while it keeps more after each. Whatever a program does, it must end
// without a crash, a sanitizer report or a hang: its runs are bounded by their instruction and
// memory budgets, and what it keeps between events by the kept-memory limit. Under libFuzzer the
// budgets are checked from outside too: a load or an event that takes longer than its instructions
// account for (work the runtime does not charge), that grows the heap by more than kHeapGrowthLimit
// while it runs, or after which the heap holds more than kKeptHeapLimit beside what it held before
// the load, aborts as a finding; so does an event after which the program keeps more than its limit
// and was not loaded afresh.

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/messages/KLVPBMessages.h"
#include "engine/messages/MessageCodec.h"
#include "engine/script/KLVPBudget.h"
#include "engine/script/KLVPEventEditingRuntime.h"

#ifdef TESSALINE_PROGRAM_FUZZ_LIMITS
#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#endif

namespace {

#ifdef TESSALINE_PROGRAM_FUZZ_LIMITS

// A run may take kBaseTime and kTimePerInstruction for each instruction it was charged: several
// times what this build takes (with its sanitizers and coverage, one to five microseconds an
// instruction, the more the more it allocates), so that only work the budgets miss stands out.
// The time is this thread's CPU time, not wall time: other load on the machine does not add to it.
constexpr std::chrono::milliseconds kBaseTime{500};
constexpr std::chrono::microseconds kTimePerInstruction{10};
// Eight times the memory a run may make.
constexpr std::int64_t kHeapGrowthLimit = std::int64_t{64} << 20;
// Three times what a program may keep between events: room for a fresh load beside it.
constexpr std::int64_t kKeptHeapLimit = 3 * engine::kKLVPKeptMemoryLimit;

// The CPU time this thread has used so far.
std::chrono::nanoseconds threadCPUTime() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// The heap in use and its peak, from the allocator's hooks.
std::atomic<std::int64_t> liveBytes{0};
std::atomic<std::int64_t> peakBytes{0};

void onAllocation(const volatile void*, std::size_t size) {
    const std::int64_t live = liveBytes += static_cast<std::int64_t>(size);
    std::int64_t peak = peakBytes.load(std::memory_order_relaxed);
    while (live > peak && !peakBytes.compare_exchange_weak(peak, live)) {
    }
}

void onRelease(const volatile void* pointer) {
    liveBytes -=
        static_cast<std::int64_t>(__sanitizer_get_allocated_size(const_cast<const void*>(pointer)));
}

std::int64_t heapInUse() {
    static const bool installed =
        __sanitizer_install_malloc_and_free_hooks(onAllocation, onRelease) != 0;
    (void)installed;
    return liveBytes.load();
}

// Watches one load or event.
class Limits {
  public:
    // `baseBytes`: the heap in use before the program was loaded.
    Limits(const char* what, engine::KLVPEventEditingRuntime& editing, std::int64_t baseBytes)
        : what_(what), editing_(editing), reloads_(editing.reloadCount()), baseBytes_(baseBytes) {
        startBytes_ = heapInUse();
        peakBytes = startBytes_;
    }
    ~Limits() {
        const auto took = threadCPUTime() - start_;
        const bool reloaded = editing_.reloadCount() != reloads_;
        // After a fresh load the count is the load's; the event's run took at most the limit.
        const std::int64_t instructions = editing_.runtime().getInstructionCount() +
                                          (reloaded ? engine::kKLVPInstructionLimit : 0);
        const std::int64_t grew = peakBytes.load() - startBytes_;
        const std::int64_t kept = heapInUse() - baseBytes_;
        const bool overKept =
            !reloaded && editing_.runtime().keptMemory() > engine::kKLVPKeptMemoryLimit;
        if (took > kBaseTime + instructions * kTimePerInstruction || grew > kHeapGrowthLimit ||
            kept > kKeptHeapLimit || overKept) {
            std::fprintf(
                stderr,
                "Program_fuzz: %s took %lld ms of CPU time for %lld instructions, grew the heap by "
                "%lld bytes and left %lld (%lld counted, %s)\n",
                what_,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
                static_cast<long long>(instructions), static_cast<long long>(grew),
                static_cast<long long>(kept),
                static_cast<long long>(editing_.runtime().keptMemory()),
                reloaded ? "loaded afresh" : "kept");
            std::abort();
        }
    }
    Limits(const Limits&) = delete;
    Limits& operator=(const Limits&) = delete;

  private:
    const char* const what_;
    engine::KLVPEventEditingRuntime& editing_;
    const std::size_t reloads_;
    const std::int64_t baseBytes_;
    const std::chrono::nanoseconds start_ = threadCPUTime();
    std::int64_t startBytes_ = 0;
};

#else

std::int64_t heapInUse() {
    return 0;
}

struct Limits {
    Limits(const char*, engine::KLVPEventEditingRuntime&, std::int64_t) {}
};

#endif

// Enough events for a program that keeps most of what it may make each run to pass its kept-memory
// limit (a run is bounded by its instructions too, so it seldom keeps all of kKLVPMemoryLimit).
constexpr int kEvents = 8;

class SilentLogger final : public engine::KLVPLoggerDelegate {
  public:
    void logWithLevel(std::int64_t, std::string_view, const engine::MonitorContexts&, bool,
                      bool) const override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    engine::MessageInfo message(engine::KLVPBProgram::messageType());
    if (!engine::decodeMessage(std::span<const std::uint8_t>(data, size), message)) return 0;
    const auto program = engine::KLVPBProgram::initWithMessageInfo(&message);
    if (!program) return 0;

    engine::KLVPEventEditingRuntime editing;
    editing.setModuleCreator(
        [] {
            return engine::KLVPKeyValueStore{
                "internal.remoteConfig",
                [](const std::string& key) -> std::optional<std::string> { return key; }};
        },
        "internal.remoteConfig");
    editing.setModuleCreator(
        [] {
            return engine::KLVPObjectProvider{"internal.appMetadata", [] {
                                                  return platform::Dictionary{{"app_id", "a"}};
                                              }};
        },
        "internal.appMetadata");
    editing.setModuleCreator(
        [] { return engine::KLVPMessageLogger{std::make_shared<SilentLogger>()}; },
        "internal.logger");
    platform::Error error;
    const std::int64_t baseBytes = heapInUse();
    {
        const Limits limits("the load", editing, baseBytes);
        if (!editing.loadProgram(*program, &error)) return 0;
    }
    std::int64_t keptBefore = editing.runtime().keptMemory();
    for (int i = 0; i < kEvents; ++i) {
        const char* name = i % 2 ? "purchase" : "screen_view";
        {
            const Limits limits(name, editing, baseBytes);
            platform::Error failure;
            // A program may fail on an event; what is looked at is the memory it keeps.
            (void)editing.handleEvent(
                engine::KLVPEvent::initWithName(
                    name, 1000 + i, {{"value", 1.5}, {"count", std::int64_t{2}}, {"s", "x"}}),
                &failure);
        }
        // Past two events, only a program that keeps more after each one gets another.
        const std::int64_t kept = editing.runtime().keptMemory();
        if (i >= 1 && kept <= keptBefore) break;
        keptBefore = kept;
    }
    return 0;
}
