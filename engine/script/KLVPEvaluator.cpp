#include "engine/script/KLVPEvaluator.h"

#include <algorithm>

#include "engine/script/KLVPObjectValues.h"
#include "engine/script/KLVPScope.h"
#include "engine/script/KLVPScriptError.h"
#include "platform/foundation/NoDestructor.h"

namespace engine {

// Helper routines.

KLVPValues KLVPEvaluateArguments(std::span<const KLVPValue> arguments, KLVPScope& scope,
                                 platform::Error* error) {
    KLVPValues values;
    values.reserve(arguments.size());
    for (const KLVPValue& argument : arguments) {
        values.push_back(KLVPEvaluator::evaluateStatement(argument, scope, error));
        if (KLVPFailed(error)) {
            values.back() = KLVPUndefined();
            break;
        }
    }
    return values;
}

bool KLVPCheckArgumentCountEquals(std::span<const KLVPValue> arguments, std::size_t count,
                                  platform::Error* error) {
    return arguments.size() == count || KLVPSetScriptError(error, kKLVPErrorArgumentCount);
}

bool KLVPCheckArgumentCountAtLeast(std::span<const KLVPValue> arguments, std::size_t count,
                                   platform::Error* error) {
    return arguments.size() >= count || KLVPSetScriptError(error, kKLVPErrorArgumentCount);
}

bool KLVPCheckArgumentCountAtMost(std::span<const KLVPValue> arguments, std::size_t count,
                                  platform::Error* error) {
    return arguments.size() <= count || KLVPSetScriptError(error, kKLVPErrorArgumentCount);
}

bool KLVPCountInstruction(KLVPScope& scope, platform::Error* error) {
    KLVPRuntimeContext* context = scope.context();
    return !context || context->countInstructions(1, error);
}

// Evaluators.

KLVPValue KLVPCommandEvaluator::evaluateCommand(int, std::span<const KLVPValue>, KLVPScope&,
                                                platform::Error*) const {
    return KLVPUndefined();
}

KLVPValue KLVPHandlerTableEvaluator::evaluateCommand(int opcode,
                                                     std::span<const KLVPValue> arguments,
                                                     KLVPScope& scope,
                                                     platform::Error* error) const {
    const auto entry = std::find_if(handlers_.begin(), handlers_.end(),
                                    [opcode](const auto& e) { return e.opcode == opcode; });
    if (entry == handlers_.end()) return KLVPUndefined();
    if (arguments_ == Arguments::Unevaluated) return entry->handler(arguments, scope, error);
    const KLVPValues values = KLVPEvaluateArguments(arguments, scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return entry->handler(values, scope, error);
}

std::vector<int> KLVPHandlerTableEvaluator::allSupportedCommands() const {
    std::vector<int> opcodes;
    for (const auto& entry : handlers_)
        opcodes.push_back(entry.opcode);
    return opcodes;
}

namespace {

// Any name that is not a registered opcode: the function of that name in scope, called with the
// unevaluated arguments; undefined when the name holds no function.
KLVPValue evaluateFunctionCall(const KLVPStatementValue& statement, KLVPScope& scope,
                               platform::Error* error) {
    // Held for the call: the function may rebind its own name.
    const KLVPValue value = scope.valueForName(statement.functionName());
    if (value->kind() != KLVPValueKind::Function) return KLVPUndefined();
    return static_cast<KLVPFunctionValue&>(*value).invokeWithArguments(statement.arguments(), scope,
                                                                       error);
}

// Keeps count of the evaluations under way in one runtime, and makes its run the one that native
// work on this thread is charged to.
class EvaluationDepth {
  public:
    explicit EvaluationDepth(KLVPRuntimeContext* context) : context_(context), active_(context) {
        if (context_) ++context_->evaluationDepth;
    }
    ~EvaluationDepth() {
        if (context_) --context_->evaluationDepth;
    }
    EvaluationDepth(const EvaluationDepth&) = delete;
    EvaluationDepth& operator=(const EvaluationDepth&) = delete;

    bool exceeded() const {
        return context_ && context_->evaluationDepth > kKLVPMaxEvaluationDepth;
    }

  private:
    KLVPRuntimeContext* const context_;
    const KLVPActiveRun active_;
};

}  // namespace

const KLVPCommandRegistrar& KLVPCommandRegistrar::sharedInstance() {
    static platform::NoDestructor<KLVPCommandRegistrar> registrar;
    return registrar.get();
}

KLVPCommandRegistrar::KLVPCommandRegistrar() {
    registerEvaluator(std::make_unique<KLVPControlCommandEvaluator>());
    registerEvaluator(std::make_unique<KLVPVariableCommandEvaluator>());
    registerEvaluator(std::make_unique<KLVPComparisonCommandEvaluator>());
    registerEvaluator(std::make_unique<KLVPLogicalCommandEvaluator>());
    registerEvaluator(std::make_unique<KLVPBitwiseCommandEvaluator>());
    registerEvaluator(std::make_unique<KLVPMathCommandEvaluator>());
    registerEvaluator(std::make_unique<KLVPLoopCommandEvaluator>());
}

void KLVPCommandRegistrar::registerEvaluator(std::unique_ptr<KLVPCommandEvaluator> evaluator) {
    for (int opcode : evaluator->allSupportedCommands()) {
        if (opcode >= 0 && opcode < kOpcodeCount)
            evaluators_[static_cast<std::size_t>(opcode)] = evaluator.get();
    }
    owned_.push_back(std::move(evaluator));
}

KLVPValue KLVPCommandRegistrar::evaluateStatement(const KLVPValue& value, KLVPScope& scope,
                                                  platform::Error* error) const {
    if (!KLVPCountInstruction(scope, error)) return KLVPUndefined();
    if (value->kind() != KLVPValueKind::Statement) return value;
    const EvaluationDepth depth(scope.context());
    if (depth.exceeded()) {
        KLVPSetScriptError(error, kKLVPErrorRuntimeLimit);
        return KLVPUndefined();
    }
    const auto& statement = static_cast<const KLVPStatementValue&>(*value);
    const int opcode = statement.opcode();
    const KLVPCommandEvaluator* evaluator = opcode == KLVPStatementValue::kNoOpcode
                                                ? nullptr
                                                : evaluators_[static_cast<std::size_t>(opcode)];
    if (!evaluator) return evaluateFunctionCall(statement, scope, error);
    return evaluator->evaluateCommand(opcode, statement.arguments(), scope, error);
}

KLVPValue KLVPEvaluator::evaluateStatement(const KLVPValue& value, KLVPScope& scope,
                                           platform::Error* error) {
    return KLVPCommandRegistrar::sharedInstance().evaluateStatement(value, scope, error);
}

KLVPValue KLVPEvaluator::executeStatements(std::span<const KLVPValue> statements, KLVPScope& scope,
                                           platform::Error* error) {
    KLVPValue result = KLVPUndefined();
    for (const KLVPValue& statement : statements) {
        result = evaluateStatement(statement, scope, error);
        if (KLVPFailed(error)) return KLVPUndefined();
        if (result->kind() == KLVPValueKind::Control) return result;
    }
    return result;
}

}  // namespace engine
