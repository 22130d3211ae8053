#include "engine/script/KLVPRuntime.h"

#include "engine/script/KLVPEvaluator.h"
#include "engine/script/KLVPRuntimeEntityConverter.h"
#include "engine/script/KLVPScriptError.h"
#include "engine/script/KLVPText.h"

namespace engine {

KLVPRuntime::KLVPRuntime()
    : context_(std::make_shared<KLVPRuntimeContext>()),
      initialScope_(std::make_shared<KLVPScope>(context_)),
      globalScope_(initialScope_->createChildScope()),
      apiProvider_(std::make_shared<KLVPDynamicProvider>()) {
    context_->objectManager.addRoot(initialScope_);
    context_->objectManager.addRoot(globalScope_);
    auto require = std::make_shared<KLVPRequire>(apiProvider_, context_);
    context_->objectManager.addObject(require);
    globalScope_->addValue(std::move(require), u"require");
    setModuleCreator(
        KLVPRuntimeModuleCreator([] { return std::make_shared<KLVPRuntimePlatform>(); }),
        "internal.platform");
    resetInstructionCount();
}

KLVPRuntime::~KLVPRuntime() {
    // Empties every object the program made, so that the cycles between scopes and functions
    // (and any a program built) are freed with the runtime.
    context_->objectManager.sweepAll();
}

std::int64_t KLVPRuntime::runtimeVersion() {
    return 0;
}

void KLVPRuntime::setModuleCreator(KLVPRuntimeModuleCreator creator, const std::string& name) {
    apiProvider_->setModuleCreator(std::move(creator), KLVPUTF16FromUTF8(name));
}

void KLVPRuntime::setModuleCreator(KLVPModuleCreator creator, const std::string& name) {
    setModuleCreator(KLVPRuntimeModuleCreatorFromModuleCreator(std::move(creator)), name);
}

KLVPValue KLVPRuntime::executeStatements(std::span<const KLVPBRuntimeEntity> statements,
                                         platform::Error* error) {
    platform::Error failure;
    KLVPValue result = KLVPUndefined();
    for (const KLVPBRuntimeEntity& entity : statements) {
        // The program's own statements are not made by the run; what they make is.
        const KLVPValue statement =
            KLVPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity, &failure);
        if (!KLVPFailed(&failure)) {
            const KLVPActiveRun active(context_.get());
            result = KLVPEvaluator::evaluateStatement(statement, *globalScope_, &failure);
        }
        if (KLVPFailed(&failure)) {
            if (error) *error = std::move(failure);
            return KLVPUndefined();
        }
    }
    return result;
}

std::shared_ptr<KLVPScope> KLVPRuntime::getRunScope() {
    return globalScope_->createChildScope();
}

void KLVPRuntime::resetInstructionCount() {
    context_->resetRun();
}

std::int64_t KLVPRuntime::getInstructionCount() const {
    return context_->instructionCount;
}

void KLVPRuntime::addGarbageCollectionRoot(const std::shared_ptr<const KLVPMarkable>& root) {
    context_->objectManager.addRoot(root);
}

void KLVPRuntime::collectGarbage() {
    context_->objectManager.collectGarbage();
}

std::int64_t KLVPRuntime::keptMemory() const {
    return context_->objectManager.keptMemory();
}

}  // namespace engine
