#pragma once

// The interpreter that one event-editing object owns: the initial scope and the global scope (a
// program's declarations and `require`), the module provider, the collector and the instruction
// limit of each run. Used on one queue at a time.
//
// A program's maps, arrays and functions belong to their runtime: when it goes, they are emptied
// (which frees their cycles), so read what you need of a result before the runtime is destroyed.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "engine/messages/KLVPBMessages.h"
#include "engine/script/KLVPRuntimeModules.h"
#include "engine/script/KLVPRuntimeValue.h"
#include "engine/script/KLVPScope.h"
#include "engine/settings/KLVPEventEditing.h"
#include "platform/foundation/Error.h"

namespace engine {

class KLVPRuntime {
  public:
    KLVPRuntime();
    ~KLVPRuntime();
    KLVPRuntime(const KLVPRuntime&) = delete;
    KLVPRuntime& operator=(const KLVPRuntime&) = delete;

    // 0; sent with the configuration fetch and answered by "getVersion".
    static std::int64_t runtimeVersion();

    // Registers the module a program gets from require(name); a later creator replaces one.
    void setModuleCreator(KLVPRuntimeModuleCreator creator, const std::string& name);
    void setModuleCreator(KLVPModuleCreator creator, const std::string& name);

    // Converts and runs each entity in the global scope; the last result (a control value is not
    // consumed), or undefined with the first error.
    KLVPValue executeStatements(std::span<const KLVPBRuntimeEntity> statements,
                                platform::Error* error);

    // A new child scope of the global scope, for one run.
    std::shared_ptr<KLVPScope> getRunScope();
    // Starts a run's budgets again from nothing: instructions and memory (KLVPBudget.h).
    void resetInstructionCount();
    std::int64_t getInstructionCount() const;

    // Marks from it on every collection while it lives.
    void addGarbageCollectionRoot(const std::shared_ptr<const KLVPMarkable>& root);
    // Between runs only: sweeps the objects no root reaches.
    void collectGarbage();
    // What the last collection found reachable, in bytes as the memory limit counts them: what
    // the program keeps from one run to the next (KLVPBudget.h).
    std::int64_t keptMemory() const;

    const std::shared_ptr<KLVPScope>& initialScope() const { return initialScope_; }
    const std::shared_ptr<KLVPScope>& globalScope() const { return globalScope_; }
    KLVPObjectManager& objectManager() { return context_->objectManager; }

  private:
    std::shared_ptr<KLVPRuntimeContext> context_;
    std::shared_ptr<KLVPScope> initialScope_;
    std::shared_ptr<KLVPScope> globalScope_;
    std::shared_ptr<KLVPDynamicProvider> apiProvider_;
};

}  // namespace engine
