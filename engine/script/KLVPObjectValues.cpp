#include "engine/script/KLVPObjectValues.h"

#include <limits>

#include "engine/messages/MessageCodec.h"
#include "engine/script/KLVPBudget.h"
#include "engine/script/KLVPEvaluator.h"
#include "engine/script/KLVPScope.h"
#include "engine/script/KLVPScriptError.h"

namespace engine {

// Property calls.

KLVPValue KLVPCallMethodProperty(KLVPValue property, std::span<const KLVPValue> arguments,
                                 KLVPScope& scope, platform::Error* error) {
    if (property->kind() != KLVPValueKind::Function) {
        KLVPSetScriptError(error, kKLVPErrorUnknownMethod);
        return KLVPUndefined();
    }
    return static_cast<KLVPFunctionValue&>(*property).invokeWithArguments(arguments, scope, error);
}

void KLVPObjectValue::setValue(KLVPValue value, std::u16string_view name) {
    if (propertyMap_.setValue(std::move(value), name))
        KLVPRecordMemory(KLVPPropertyBytes(name.size()));
}

KLVPValue KLVPObjectValue::applyWithName(std::u16string_view name,
                                         std::span<const KLVPValue> arguments, KLVPScope& scope,
                                         platform::Error* error) {
    if (const KLVPValue* property = propertyMap_.find(name))
        return KLVPCallMethodProperty(*property, arguments, scope, error);
    if (name == u"hasOwnProperty") {
        const KLVPValues values = KLVPEvaluateArguments(arguments, scope, error);
        if (KLVPFailed(error) || !KLVPCheckArgumentCountEquals(values, 1, error))
            return KLVPUndefined();
        const KLVPTextForm key(values[0], error);
        if (KLVPFailed(error)) return KLVPUndefined();
        return KLVPBoolean(hasProperty(key.view()));
    }
    return KLVPRuntimeValue::applyWithName(name, arguments, scope, error);
}

void KLVPObjectValue::markChildren(KLVPMarkList& list) const {
    propertyMap_.mark(list);
}

// Maps.

std::u16string KLVPMapValue::stringValueOrError(platform::Error*) const {
    return u"[object Object]";
}
double KLVPMapValue::doubleValueOrError(platform::Error*) const {
    return std::numeric_limits<double>::quiet_NaN();
}
bool KLVPMapValue::booleanValueOrError(platform::Error*) const {
    return true;
}

bool KLVPMapValue::equals(const KLVPRuntimeValue& other, int depth) const {
    if (this == &other) return true;
    if (other.kind() != KLVPValueKind::Map || depth > kMaxNestingDepth) return false;
    const auto& theirs = static_cast<const KLVPMapValue&>(other);
    if (theirs.propertyMap().count() != propertyMap().count()) return false;
    bool equal = true;
    propertyMap().forEachEntry([&](const std::u16string& name, const KLVPValue& value) {
        if (!equal) return;
        const KLVPValue* match = theirs.propertyMap().find(name);
        equal = match && value->equals(**match, depth + 1);
    });
    return equal;
}

// Functions.

KLVPFunctionValue::KLVPFunctionValue(std::u16string functionName,
                                     std::vector<std::u16string> parameterNames,
                                     KLVPValues statements,
                                     std::shared_ptr<KLVPScope> definingScope)
    : KLVPObjectValue(KLVPValueKind::Function),
      functionName_(std::move(functionName)),
      parameterNames_(std::move(parameterNames)),
      statements_(std::move(statements)),
      definingScope_(std::move(definingScope)) {}

KLVPFunctionValue::KLVPFunctionValue(std::u16string functionName)
    : KLVPFunctionValue(std::move(functionName), {}, {}, nullptr) {}

KLVPFunctionValue::~KLVPFunctionValue() {
    KLVPRelease(std::move(definingScope_));
}

std::u16string KLVPFunctionValue::stringValueOrError(platform::Error*) const {
    return functionName_;
}
double KLVPFunctionValue::doubleValueOrError(platform::Error*) const {
    return std::numeric_limits<double>::quiet_NaN();
}
bool KLVPFunctionValue::booleanValueOrError(platform::Error*) const {
    return true;
}

bool KLVPFunctionValue::equals(const KLVPRuntimeValue& other, int) const {
    if (this == &other) return true;
    return other.kind() == KLVPValueKind::Function && !functionName_.empty() &&
           static_cast<const KLVPFunctionValue&>(other).functionName_ == functionName_;
}

KLVPValue KLVPFunctionValue::invokeWithArguments(std::span<const KLVPValue> arguments,
                                                 KLVPScope& scope, platform::Error* error) {
    const KLVPValues values = KLVPEvaluateArguments(arguments, scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return invokeWithEvaluatedArguments(values, error);
}

namespace {

// Keeps count of the script calls under way in one runtime.
class CallDepth {
  public:
    explicit CallDepth(KLVPRuntimeContext* context) : context_(context) {
        if (context_) ++context_->callDepth;
    }
    ~CallDepth() {
        if (context_) --context_->callDepth;
    }
    CallDepth(const CallDepth&) = delete;
    CallDepth& operator=(const CallDepth&) = delete;

    bool exceeded() const { return context_ && context_->callDepth > kKLVPMaxCallDepth; }

  private:
    KLVPRuntimeContext* const context_;
};

}  // namespace

KLVPValue KLVPFunctionValue::invokeWithEvaluatedArguments(std::span<const KLVPValue> arguments,
                                                          platform::Error* error) {
    // A native object, or a function the collector has swept: nothing to run.
    if (!definingScope_) return KLVPUndefined();
    // Held for the call, like the function itself by its caller.
    const std::shared_ptr<KLVPScope> definingScope = definingScope_;
    const CallDepth depth(definingScope->context());
    if (depth.exceeded()) {
        KLVPSetScriptError(error, kKLVPErrorRuntimeLimit);
        return KLVPUndefined();
    }
    const std::shared_ptr<KLVPScope> scope = definingScope->createChildScope();
    for (std::size_t i = 0; i < parameterNames_.size(); ++i) {
        scope->addValue(i < arguments.size() ? arguments[i] : KLVPUndefined(), parameterNames_[i]);
    }
    KLVPValue result = KLVPEvaluator::executeStatements(statements_, *scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    if (result->kind() == KLVPValueKind::Control &&
        static_cast<const KLVPControlValue&>(*result).type() == KLVPControlValue::Type::Return)
        return static_cast<const KLVPControlValue&>(*result).data();
    return result;
}

void KLVPFunctionValue::markChildren(KLVPMarkList& list) const {
    KLVPObjectValue::markChildren(list);
    list.countBytes(kKLVPSlotBytes * statements_.size());
    // With its parents: a closure reads the bindings of every scope around its definition.
    list.markScope(definingScope_.get());
}

void KLVPFunctionValue::sweep() {
    KLVPObjectValue::sweep();
    KLVPValues statements = std::move(statements_);
    statements_.clear();
    for (KLVPValue& statement : statements)
        KLVPRelease(std::move(statement));
    KLVPRelease(std::move(definingScope_));
    definingScope_ = nullptr;
}

}  // namespace engine
