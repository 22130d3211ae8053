#include "engine/script/KLVPScope.h"

#include <algorithm>
#include <atomic>

#include "engine/script/KLVPArrayValue.h"
#include "engine/script/KLVPObjectValues.h"
#include "engine/script/KLVPScriptError.h"

namespace engine {

// Object manager.

namespace {

template <class T>
std::shared_ptr<T> tracked(std::shared_ptr<T> object, const KLVPScope& scope) {
    if (KLVPRuntimeContext* context = scope.context()) context->objectManager.addObject(object);
    return object;
}

std::shared_ptr<KLVPArrayValue> trackedArray(std::shared_ptr<KLVPArrayValue> array,
                                             const KLVPScope& scope) {
    array->setContext(scope.sharedContext());
    return tracked(std::move(array), scope);
}

// Marks are told apart by pass, across all runtimes, so that nothing needs unmarking and
// untracked native objects take part like any other.
std::uint64_t nextMarkEpoch() {
    static std::atomic<std::uint64_t> epoch{0};
    return ++epoch;
}

}  // namespace

std::shared_ptr<KLVPMapValue> KLVPObjectManager::mapValueWithScope(const KLVPScope& scope) {
    return tracked(std::make_shared<KLVPMapValue>(), scope);
}

std::shared_ptr<KLVPArrayValue> KLVPObjectManager::arrayValueWithScope(const KLVPScope& scope) {
    return trackedArray(std::make_shared<KLVPArrayValue>(), scope);
}

std::shared_ptr<KLVPArrayValue> KLVPObjectManager::arrayValueWithArray(KLVPValues values,
                                                                       const KLVPScope& scope,
                                                                       platform::Error* error) {
    if (values.size() > kKLVPMaxArrayLength) {
        KLVPSetScriptError(error, kKLVPErrorRuntimeLimit);
        return nullptr;
    }
    if (KLVPRuntimeContext* context = scope.context();
        context && !context->countWork(values.size(), error))
        return nullptr;
    return trackedArray(std::make_shared<KLVPArrayValue>(std::move(values)), scope);
}

std::shared_ptr<KLVPArrayValue> KLVPObjectManager::subarrayWithArray(const KLVPArrayValue& array,
                                                                     std::int64_t start,
                                                                     std::int64_t length,
                                                                     const KLVPScope& scope) {
    return trackedArray(std::make_shared<KLVPArrayValue>(array.subarrayWithRange(start, length)),
                        scope);
}

std::shared_ptr<KLVPFunctionValue> KLVPObjectManager::functionValueWithFunctionName(
    std::u16string functionName, std::vector<std::u16string> parameterNames, KLVPValues statements,
    std::shared_ptr<KLVPScope> definingScope) {
    const KLVPScope* scope = definingScope.get();
    auto function =
        std::make_shared<KLVPFunctionValue>(std::move(functionName), std::move(parameterNames),
                                            std::move(statements), std::move(definingScope));
    return scope ? tracked(std::move(function), *scope) : function;
}

void KLVPObjectManager::addRoot(const std::shared_ptr<const KLVPMarkable>& root) {
    if (root) roots_.push_back(root);
}

void KLVPObjectManager::addObject(const std::shared_ptr<KLVPRuntimeValue>& object) {
    if (object) objects_.push_back(object);
}

void KLVPObjectManager::collectGarbage() {
    KLVPMarkList list(nextMarkEpoch());
    std::erase_if(roots_, [](const auto& root) { return root.expired(); });
    for (const auto& weakRoot : roots_) {
        if (const auto root = weakRoot.lock()) root->mark(list);
    }
    list.drain();

    std::vector<std::weak_ptr<KLVPRuntimeValue>> alive;
    alive.reserve(objects_.size());
    for (auto& weakObject : objects_) {
        const KLVPValue object = weakObject.lock();
        if (!object) continue;
        if (KLVPMarkList::isMarked(*object, list.epoch())) {
            alive.push_back(std::move(weakObject));
        } else {
            object->sweep();
        }
    }
    objects_ = std::move(alive);
}

void KLVPObjectManager::sweepAll() {
    std::vector<std::weak_ptr<KLVPRuntimeValue>> objects = std::move(objects_);
    objects_.clear();
    for (const auto& weakObject : objects) {
        if (const KLVPValue object = weakObject.lock()) object->sweep();
    }
}

bool KLVPRuntimeContext::countInstructions(std::int64_t count, platform::Error* error) {
    if (instructionCount >= kKLVPInstructionLimit)
        return KLVPSetScriptError(error, kKLVPErrorInstructionLimit);
    instructionCount += count;
    return true;
}

// Scopes.

KLVPScope::KLVPScope(std::shared_ptr<KLVPScope> parent)
    : parent_(std::move(parent)), context_(parent_ ? parent_->context_ : nullptr) {}

KLVPScope::KLVPScope(std::shared_ptr<KLVPRuntimeContext> context) : context_(std::move(context)) {}

KLVPScope::~KLVPScope() {
    KLVPRelease(std::move(parent_));
}

std::shared_ptr<KLVPScope> KLVPScope::createChildScope() {
    return std::make_shared<KLVPScope>(shared_from_this());
}

bool KLVPScope::hasName(std::u16string_view name) const {
    for (const KLVPScope* scope = this; scope; scope = scope->parent_.get()) {
        if (scope->contents_.hasName(name)) return true;
    }
    return false;
}

const KLVPValue& KLVPScope::valueForName(std::u16string_view name) const {
    for (const KLVPScope* scope = this; scope; scope = scope->parent_.get()) {
        if (const KLVPValue* value = scope->contents_.find(name)) return *value;
    }
    return KLVPUndefined();
}

void KLVPScope::addValue(KLVPValue value, std::u16string_view name) {
    contents_.setValue(std::move(value), name);
}

void KLVPScope::addImmutableValue(KLVPValue value, std::u16string_view name) {
    contents_.setImmutableValue(std::move(value), name);
}

void KLVPScope::setValue(KLVPValue value, std::u16string_view name) {
    for (KLVPScope* scope = this; scope; scope = scope->parent_.get()) {
        if (scope->contents_.isImmutable()) return;
        if (scope->contents_.hasName(name)) {
            scope->contents_.setValue(std::move(value), name);
            return;
        }
        if (!scope->parent_ || !scope->parent_->hasName(name)) break;
    }
    if (!contents_.isImmutable()) contents_.setValue(std::move(value), name);
}

}  // namespace engine
