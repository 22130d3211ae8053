#pragma once

// What one run of a rule program may cost. A downloaded program runs on the engine's worker queue
// for every event, so whatever it holds, a run must end in bounded time and memory, with an error
// and never a crash:
//
// - instructions: every evaluation counts one, and native bulk work (texts compared, converted,
//   hashed, copied or joined; slots visited or copied) one per kKLVPWorkUnitsPerInstruction units
//   it visits or makes; past kKLVPInstructionLimit the run ends with script error 18;
// - memory: the bytes a run makes (texts, arrays, maps, functions, event parameters, created
//   events and log lines) are counted as they are made, and never given back; past
//   kKLVPMemoryLimit the run ends with script error 19. Making something also costs an
//   instruction, whatever its size;
// - nesting: calls, evaluations and conversions that walk a structure have depth limits, and a
//   conversion that meets a structure holding itself ends with script error 19;
// - what a program keeps: each run is bounded, but what it leaves reachable (globals, closures,
//   the modules it asked for and what it stored in them) lives on into the next run. The
//   collector counts it after every run, as the memory limit counts what a run makes; past
//   kKLVPKeptMemoryLimit the editing runtime loads its program afresh (KLVPEventEditingRuntime).
//
// Native work charges the run under way on its thread (the one whose statement is being
// evaluated, KLVPActiveRun), so that conversions and comparisons deep inside value classes are
// charged without a scope at hand. Outside a run nothing is charged.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/foundation/Error.h"

namespace engine {

struct KLVPRuntimeContext;

// Evaluations one run may make.
inline constexpr std::int64_t kKLVPInstructionLimit = 1'000'000;
// Bytes one run may make. A 2^20-unit text can still be built by doubling (about 4 MiB made).
inline constexpr std::int64_t kKLVPMemoryLimit = std::int64_t{8} << 20;
// Bytes a program may keep from one run to the next. Four runs' worth: a program may keep tables
// that many events filled (a day of event counts, the last few hundred texts), while the whole
// runtime stays within a few tens of MiB; and a program loaded afresh, whose load is one run,
// keeps about what one run may make, well under it (a load that keeps hundreds of thousands of
// numbers, which runs make freely, is the exception: it is loaded afresh after each event).
inline constexpr std::int64_t kKLVPKeptMemoryLimit = std::int64_t{32} << 20;
// Native bulk work (units visited, copied or made) costs one instruction per this many units.
inline constexpr std::size_t kKLVPWorkUnitsPerInstruction = 16;
// Script function calls that may be under way at once.
inline constexpr int kKLVPMaxCallDepth = 500;
// Evaluations that may be under way at once (nested statements and calls together); with the call
// depth it keeps a run within the stack of a worker thread, sanitizers included.
inline constexpr int kKLVPMaxEvaluationDepth = 2000;
// Containers a conversion may pass through from the outermost one down.
inline constexpr std::size_t kKLVPMaxConversionDepth = 100;

// What the memory limit counts for what a run makes: estimates of the heap each thing takes.
inline constexpr std::size_t kKLVPTextBytes = 96;            // a text value, beside its units
inline constexpr std::size_t kKLVPTextUnitBytes = 2;         // one UTF-16 unit
inline constexpr std::size_t kKLVPObjectBytes = 256;         // a map, array or function
inline constexpr std::size_t kKLVPSlotBytes = 16;            // an array slot
inline constexpr std::size_t kKLVPPropertyBytes = 112;       // a property, beside twice its name
inline constexpr std::size_t kKLVPPlatformObjectBytes = 64;  // a parameter value or entry
// What the collector counts beside them for what a program keeps (numbers are made freely).
inline constexpr std::size_t kKLVPNumberBytes = 64;  // a number value
inline constexpr std::size_t kKLVPScopeBytes = 256;  // a scope, beside its bindings

// The bytes counted for a text of `units` units.
inline std::size_t KLVPTextBytes(std::size_t units) {
    return kKLVPTextBytes + kKLVPTextUnitBytes * units;
}

// The bytes counted for a property (or binding) whose name has `nameUnits` units.
inline std::size_t KLVPPropertyBytes(std::size_t nameUnits) {
    return kKLVPPropertyBytes + 2 * kKLVPTextUnitBytes * nameUnits;
}

// Makes a runtime's run the one under way on this thread while it lives (null: none).
class KLVPActiveRun {
  public:
    explicit KLVPActiveRun(KLVPRuntimeContext* context);
    ~KLVPActiveRun();
    KLVPActiveRun(const KLVPActiveRun&) = delete;
    KLVPActiveRun& operator=(const KLVPActiveRun&) = delete;

  private:
    KLVPRuntimeContext* const previous_;
};

// Charge the run under way, if any; false with script error 18 or 19 once the run is past a
// limit (work and memory are charged before they are done). With a null error the charge is
// only recorded, and the run fails at its next evaluation.
[[nodiscard]] bool KLVPChargeWork(std::size_t units, platform::Error* error);
[[nodiscard]] bool KLVPChargeMemory(std::size_t bytes, platform::Error* error);
// The same, for work and memory used where no error can be given back (a constructor, a lookup):
// a run past its limit fails at its next evaluation instead.
inline void KLVPRecordWork(std::size_t units) {
    (void)KLVPChargeWork(units, nullptr);
}
inline void KLVPRecordMemory(std::size_t bytes) {
    (void)KLVPChargeMemory(bytes, nullptr);
}

// Sets script error 19 for a memory limit; always false.
bool KLVPSetMemoryLimitError(platform::Error* error);

// The containers a conversion is inside, outermost first. Entering one more than
// kKLVPMaxConversionDepth deep, or one already on the path (a structure that holds itself), fails
// with script error 19.
class KLVPConversionPath {
  public:
    // Inside `container` while it lives, when it converts to true.
    class Step {
      public:
        Step(KLVPConversionPath& path, const void* container, platform::Error* error);
        ~Step();
        Step(const Step&) = delete;
        Step& operator=(const Step&) = delete;
        explicit operator bool() const { return entered_; }

      private:
        KLVPConversionPath& path_;
        bool entered_ = false;
    };

  private:
    std::vector<const void*> containers_;
};

}  // namespace engine
