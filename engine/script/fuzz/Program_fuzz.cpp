// Decodes arbitrary bytes as a rule program, loads it with stand-in modules and hands it two
// events. Whatever a program does, it must end without a crash, a sanitizer report or a hang: its
// runs are bounded by their instruction and memory budgets. Under libFuzzer the budgets are
// checked from outside too: a load or an event that takes longer than its instructions account
// for (work the runtime does not charge), or that grows the heap by more than kHeapGrowthLimit
// while it runs, aborts as a finding.

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/messages/KLVPBMessages.h"
#include "engine/messages/MessageCodec.h"
#include "engine/script/KLVPEventEditingRuntime.h"

#ifdef TESSALINE_PROGRAM_FUZZ_LIMITS
#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#endif

namespace {

#ifdef TESSALINE_PROGRAM_FUZZ_LIMITS

// A run may take kBaseTime and kTimePerInstruction for each instruction it was charged: several
// times what this build takes (with its sanitizers and coverage, one to five microseconds an
// instruction, the more the more it allocates), so that only work the budgets miss stands out.
constexpr std::chrono::milliseconds kBaseTime{500};
constexpr std::chrono::microseconds kTimePerInstruction{10};
// Eight times the memory a run may make.
constexpr std::int64_t kHeapGrowthLimit = std::int64_t{64} << 20;

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

// Watches one load or event.
class Limits {
  public:
    Limits(const char* what, const engine::KLVPRuntime& runtime) : what_(what), runtime_(runtime) {
        static const bool installed =
            __sanitizer_install_malloc_and_free_hooks(onAllocation, onRelease) != 0;
        (void)installed;
        startBytes_ = liveBytes.load();
        peakBytes = startBytes_;
    }
    ~Limits() {
        const auto took = std::chrono::steady_clock::now() - start_;
        const std::int64_t instructions = runtime_.getInstructionCount();
        const std::int64_t grew = peakBytes.load() - startBytes_;
        if (took > kBaseTime + instructions * kTimePerInstruction || grew > kHeapGrowthLimit) {
            std::fprintf(stderr,
                         "Program_fuzz: %s took %lld ms for %lld instructions and grew the heap "
                         "by %lld bytes\n",
                         what_,
                         static_cast<long long>(
                             std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
                         static_cast<long long>(instructions), static_cast<long long>(grew));
            std::abort();
        }
    }
    Limits(const Limits&) = delete;
    Limits& operator=(const Limits&) = delete;

  private:
    const char* const what_;
    const engine::KLVPRuntime& runtime_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::int64_t startBytes_ = 0;
};

#else

struct Limits {
    Limits(const char*, const engine::KLVPRuntime&) {}
};

#endif

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
    {
        const Limits limits("the load", editing.runtime());
        if (!editing.loadProgram(*program, &error)) return 0;
    }
    for (const char* name : {"screen_view", "purchase"}) {
        const Limits limits(name, editing.runtime());
        platform::Error failure;
        editing.handleEvent(
            engine::KLVPEvent::initWithName(
                name, 1000, {{"value", 1.5}, {"count", std::int64_t{2}}, {"s", "x"}}),
            &failure);
    }
    return 0;
}
