#pragma once

// Scopes, the state one runtime shares with every scope it makes, and the collector.
//
// A scope binds names in its own property map and reads through its parents. The initial scope of
// a runtime holds the runtime's context (object manager and run budget); every scope made from it
// shares that context, so evaluation reaches the budget from whatever scope it runs in.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/script/KLVPBudget.h"
#include "engine/script/KLVPPropertyMap.h"
#include "engine/script/KLVPRuntimeValue.h"

namespace engine {

class KLVPMapValue;
class KLVPArrayValue;
class KLVPFunctionValue;
class KLVPScope;
struct KLVPRuntimeContext;

// What the collector marks from: scopes and the owners of registered callbacks.
class KLVPMarkable {
  public:
    virtual ~KLVPMarkable() = default;
    virtual void mark(KLVPMarkList& list) const = 0;
};

// Tracks the maps, arrays and functions a program makes, weakly, and collects the unreachable
// ones by mark and sweep: a swept object drops what it holds, which breaks reference cycles.
class KLVPObjectManager {
  public:
    // New objects registered with the manager of the scope's runtime (none for a scope outside a
    // runtime).
    static std::shared_ptr<KLVPMapValue> mapValueWithScope(const KLVPScope& scope);
    static std::shared_ptr<KLVPArrayValue> arrayValueWithScope(const KLVPScope& scope);
    // Script error 19 and null for more than kKLVPMaxArrayLength values or past the memory
    // limit.
    static std::shared_ptr<KLVPArrayValue> arrayValueWithArray(KLVPValues values,
                                                               const KLVPScope& scope,
                                                               platform::Error* error);
    static std::shared_ptr<KLVPArrayValue> subarrayWithArray(const KLVPArrayValue& array,
                                                             std::int64_t start,
                                                             std::int64_t length,
                                                             const KLVPScope& scope,
                                                             platform::Error* error);
    // Registered with the manager of the defining scope.
    static std::shared_ptr<KLVPFunctionValue> functionValueWithFunctionName(
        std::u16string functionName, std::vector<std::u16string> parameterNames,
        KLVPValues statements, std::shared_ptr<KLVPScope> definingScope);

    // Null is ignored.
    void addRoot(const std::shared_ptr<const KLVPMarkable>& root);
    void addObject(const std::shared_ptr<KLVPRuntimeValue>& object);
    // The object and every object it reaches: a host's module with its functions, so that a
    // program that ties them into cycles cannot keep them from being swept.
    void addObjectTree(const KLVPValue& object);

    // Marks from the live roots, sweeps the live tracked objects that were not reached, and
    // forgets the dead ones.
    void collectGarbage();
    // Sweeps every live tracked object, reachable or not.
    void sweepAll();

    std::size_t trackedObjectCount() const { return objects_.size(); }
    // The bytes the last collection found reachable (counted as KLVPMarkList counts them): what
    // the program keeps between runs.
    std::int64_t keptMemory() const { return keptMemory_; }

  private:
    std::vector<std::weak_ptr<const KLVPMarkable>> roots_;
    std::vector<std::weak_ptr<KLVPRuntimeValue>> objects_;
    std::int64_t keptMemory_ = 0;
};

// What a runtime shares with its scopes.
struct KLVPRuntimeContext {
    KLVPObjectManager objectManager;
    // The run's budgets (KLVPBudget.h), kept here, out of any program's reach, so that no program
    // can reset or shadow them.
    std::int64_t instructionCount = 0;
    std::size_t workUnits = 0;  // bulk work short of a whole instruction
    std::int64_t memoryMade = 0;
    int evaluationDepth = 0;
    int callDepth = 0;

    // A new run: nothing counted.
    void resetRun();
    // Within both limits; otherwise script error 18 (instructions) or 19 (memory).
    [[nodiscard]] bool withinLimits(platform::Error* error) const;
    // Counts `count` instructions, when the run is still within its limits (every evaluation
    // comes here: the common case stays inline).
    [[nodiscard]] bool countInstructions(std::int64_t count, platform::Error* error) {
        if (instructionCount >= kKLVPInstructionLimit || memoryMade > kKLVPMemoryLimit)
            return withinLimits(error);
        instructionCount += count;
        return true;
    }
    // Counts native bulk work of `units` units, then checks the limits.
    [[nodiscard]] bool countWork(std::size_t units, platform::Error* error);
    // Counts `bytes` made, then checks the limits.
    [[nodiscard]] bool countMemory(std::size_t bytes, platform::Error* error);
};

// Scopes are always owned by shared pointers (functions keep their defining scope, children their
// parent): make them with std::make_shared.
class KLVPScope : public KLVPMarkable, public std::enable_shared_from_this<KLVPScope> {
  public:
    // A scope with that parent (none: a scope outside any runtime) and its parent's context.
    explicit KLVPScope(std::shared_ptr<KLVPScope> parent = nullptr);
    // The initial scope of a runtime.
    explicit KLVPScope(std::shared_ptr<KLVPRuntimeContext> context);
    ~KLVPScope() override;

    std::shared_ptr<KLVPScope> createChildScope();
    const KLVPScope* parentScope() const { return parent_.get(); }

    bool hasName(std::u16string_view name) const;
    // The nearest binding; undefined when none.
    const KLVPValue& valueForName(std::u16string_view name) const;
    const KLVPValue& valueForName(const KLVPName& name) const;
    // Declarations in this scope (ignored when it is frozen).
    void addValue(KLVPValue value, std::u16string_view name);
    void addImmutableValue(KLVPValue value, std::u16string_view name);
    // Assignment: the nearest scope that binds the name, else this one; constants and frozen
    // scopes keep their values.
    void setValue(KLVPValue value, std::u16string_view name);
    void makeImmutable() { contents_.makeImmutable(); }

    const KLVPPropertyMap& contents() const { return contents_; }
    // The runtime's context, or null outside a runtime.
    KLVPRuntimeContext* context() const { return context_.get(); }
    const std::shared_ptr<KLVPRuntimeContext>& sharedContext() const { return context_; }

    // Its own bindings and, through the mark list, its parents'.
    void mark(KLVPMarkList& list) const override { list.markScope(this); }

  private:
    std::shared_ptr<KLVPScope> parent_;
    std::shared_ptr<KLVPRuntimeContext> context_;
    KLVPPropertyMap contents_;
};

}  // namespace engine
