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

// Marks are told apart by pass, across all runtimes, so that nothing needs unmarking and
// untracked native objects take part like any other.
std::uint64_t nextMarkEpoch() {
    static std::atomic<std::uint64_t> epoch{0};
    return ++epoch;
}

// An array of `count` slots: its slots are copied and its bytes made.
bool chargeArray(std::size_t count, platform::Error* error) {
    if (count > kKLVPMaxArrayLength) return KLVPSetScriptError(error, kKLVPErrorRuntimeLimit);
    return KLVPChargeMemory(kKLVPObjectBytes + kKLVPSlotBytes * count, error) &&
           KLVPChargeWork(count, error);
}

}  // namespace

std::shared_ptr<KLVPMapValue> KLVPObjectManager::mapValueWithScope(const KLVPScope& scope) {
    KLVPRecordMemory(kKLVPObjectBytes);
    return tracked(std::make_shared<KLVPMapValue>(), scope);
}

std::shared_ptr<KLVPArrayValue> KLVPObjectManager::arrayValueWithScope(const KLVPScope& scope) {
    KLVPRecordMemory(kKLVPObjectBytes);
    return tracked(std::make_shared<KLVPArrayValue>(), scope);
}

std::shared_ptr<KLVPArrayValue> KLVPObjectManager::arrayValueWithArray(KLVPValues values,
                                                                       const KLVPScope& scope,
                                                                       platform::Error* error) {
    if (!chargeArray(values.size(), error)) return nullptr;
    return tracked(std::make_shared<KLVPArrayValue>(std::move(values)), scope);
}

std::shared_ptr<KLVPArrayValue> KLVPObjectManager::subarrayWithArray(const KLVPArrayValue& array,
                                                                     std::int64_t start,
                                                                     std::int64_t length,
                                                                     const KLVPScope& scope,
                                                                     platform::Error* error) {
    KLVPValues slots = array.subarrayWithRange(start, length);
    if (!chargeArray(slots.size(), error)) return nullptr;
    return tracked(std::make_shared<KLVPArrayValue>(std::move(slots)), scope);
}

std::shared_ptr<KLVPFunctionValue> KLVPObjectManager::functionValueWithFunctionName(
    std::u16string functionName, std::vector<std::u16string> parameterNames, KLVPValues statements,
    std::shared_ptr<KLVPScope> definingScope) {
    const KLVPScope* scope = definingScope.get();
    KLVPRecordMemory(kKLVPObjectBytes + kKLVPSlotBytes * statements.size());
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

void KLVPObjectManager::addObjectTree(const KLVPValue& object) {
    KLVPMarkList list(nextMarkEpoch(), true);
    list.markValue(object);
    list.drain();
    for (KLVPRuntimeValue* reached : list.reachedObjects())
        objects_.push_back(reached->shared_from_this());
}

void KLVPObjectManager::collectGarbage() {
    KLVPMarkList list(nextMarkEpoch());
    std::erase_if(roots_, [](const auto& root) { return root.expired(); });
    for (const auto& weakRoot : roots_) {
        if (const auto root = weakRoot.lock()) root->mark(list);
    }
    list.drain();
    keptMemory_ = static_cast<std::int64_t>(list.bytes());

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

// Budgets.

void KLVPRuntimeContext::resetRun() {
    instructionCount = 0;
    workUnits = 0;
    memoryMade = 0;
}

bool KLVPRuntimeContext::withinLimits(platform::Error* error) const {
    if (instructionCount >= kKLVPInstructionLimit)
        return KLVPSetScriptError(error, kKLVPErrorInstructionLimit);
    if (memoryMade > kKLVPMemoryLimit) return KLVPSetMemoryLimitError(error);
    return true;
}

bool KLVPRuntimeContext::countWork(std::size_t units, platform::Error* error) {
    // Past any real size (texts and arrays are far smaller), so that the sums cannot wrap.
    constexpr std::size_t kMostUnits = std::size_t{1} << 40;
    workUnits += std::min(units, kMostUnits);
    instructionCount += static_cast<std::int64_t>(workUnits / kKLVPWorkUnitsPerInstruction);
    workUnits %= kKLVPWorkUnitsPerInstruction;
    return withinLimits(error);
}

bool KLVPRuntimeContext::countMemory(std::size_t bytes, platform::Error* error) {
    constexpr std::size_t kMostBytes = std::size_t{1} << 40;
    memoryMade += static_cast<std::int64_t>(std::min(bytes, kMostBytes));
    // Making something is work too, whatever its size.
    ++instructionCount;
    return withinLimits(error);
}

namespace {

constinit thread_local KLVPRuntimeContext* activeContext = nullptr;

}  // namespace

KLVPActiveRun::KLVPActiveRun(KLVPRuntimeContext* context) : previous_(activeContext) {
    activeContext = context;
}

KLVPActiveRun::~KLVPActiveRun() {
    activeContext = previous_;
}

bool KLVPChargeWork(std::size_t units, platform::Error* error) {
    KLVPRuntimeContext* context = activeContext;
    return !context || context->countWork(units, error);
}

bool KLVPChargeMemory(std::size_t bytes, platform::Error* error) {
    KLVPRuntimeContext* context = activeContext;
    return !context || context->countMemory(bytes, error);
}

KLVPConversionPath::Step::Step(KLVPConversionPath& path, const void* container,
                               platform::Error* error)
    : path_(path) {
    std::vector<const void*>& containers = path_.containers_;
    if (containers.size() >= kKLVPMaxConversionDepth ||
        std::find(containers.begin(), containers.end(), container) != containers.end()) {
        KLVPSetScriptError(error, kKLVPErrorRuntimeLimit);
        return;
    }
    containers.push_back(container);
    entered_ = true;
}

KLVPConversionPath::Step::~Step() {
    if (entered_) path_.containers_.pop_back();
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
    const KLVPName key(name);
    for (const KLVPScope* scope = this; scope; scope = scope->parent_.get()) {
        if (scope->contents_.hasName(key)) return true;
    }
    return false;
}

const KLVPValue& KLVPScope::valueForName(std::u16string_view name) const {
    return valueForName(KLVPName(name));
}

const KLVPValue& KLVPScope::valueForName(const KLVPName& name) const {
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
    const KLVPName key(name);
    KLVPScope* binder = this;
    while (binder && !binder->contents_.hasName(key))
        binder = binder->parent_.get();
    if (!binder) binder = this;
    // A frozen scope on the way keeps the binding as it is.
    for (const KLVPScope* scope = this; scope != binder; scope = scope->parent_.get()) {
        if (scope->contents_.isImmutable()) return;
    }
    if (!binder->contents_.isImmutable()) binder->contents_.setValue(std::move(value), key);
}

}  // namespace engine
