#include <string>
#include <vector>

#include "engine/script/KLVPArrayValue.h"
#include "engine/script/KLVPEvaluator.h"
#include "engine/script/KLVPObjectValues.h"
#include "engine/script/KLVPScope.h"
#include "engine/script/KLVPScriptError.h"

// The control opcodes receive the unevaluated statements and check their counts before they
// evaluate anything.

namespace engine {

namespace {

bool isArray(const KLVPValue& value) {
    return value->kind() == KLVPValueKind::Array;
}

const KLVPArrayValue& asArray(const KLVPValue& value) {
    return static_cast<const KLVPArrayValue&>(*value);
}

// The array's elements, copied so that the statements may change the array while they run.
KLVPValues elementsOf(const KLVPValue& array, platform::Error* error) {
    KLVPValues elements = asArray(array).allElements();
    if (!KLVPChargeWork(elements.size(), error)) return {};
    return elements;
}

KLVPValue runElements(const KLVPValue& array, KLVPScope& scope, platform::Error* error) {
    const KLVPValues statements = elementsOf(array, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPEvaluator::executeStatements(statements, scope, error);
}

KLVPValue callMethod(std::span<const KLVPValue> arguments, KLVPScope& scope,
                     platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(arguments, 3, error)) return KLVPUndefined();
    const KLVPValues values = KLVPEvaluateArguments(arguments, scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    if (values[1]->kind() != KLVPValueKind::String || !isArray(values[2]))
        return KLVPFail(error, kKLVPErrorArgumentKind);
    const KLVPValues methodArguments = elementsOf(values[2], error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const std::u16string& name = static_cast<const KLVPStringValue&>(*values[1]).value();
    return values[0]->applyWithName(name, methodArguments, scope, error);
}

KLVPValue breakStatement(std::span<const KLVPValue> arguments, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(arguments, 0, error)) return KLVPUndefined();
    return KLVPControlValue::breakValue();
}

KLVPValue continueStatement(std::span<const KLVPValue> arguments, KLVPScope&,
                            platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(arguments, 0, error)) return KLVPUndefined();
    return KLVPControlValue::continueValue();
}

KLVPValue runStatements(std::span<const KLVPValue> arguments, KLVPScope& scope,
                        platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(arguments, 1, error)) return KLVPUndefined();
    const KLVPValue list = KLVPEvaluator::evaluateStatement(arguments[0], scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    if (!isArray(list)) return KLVPFail(error, kKLVPErrorArgumentKind);
    return runElements(list, scope, error);
}

KLVPValue sequence(std::span<const KLVPValue> arguments, KLVPScope& scope, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtLeast(arguments, 1, error)) return KLVPUndefined();
    KLVPValue result = KLVPUndefined();
    for (const KLVPValue& argument : arguments) {
        result = KLVPEvaluator::evaluateStatement(argument, scope, error);
        if (KLVPFailed(error)) return KLVPUndefined();
        if (result->kind() == KLVPValueKind::Control)
            return KLVPFail(error, kKLVPErrorArgumentKind);
    }
    return result;
}

KLVPValue ifStatement(std::span<const KLVPValue> arguments, KLVPScope& scope,
                      platform::Error* error) {
    if (!KLVPCheckArgumentCountAtLeast(arguments, 1, error) ||
        !KLVPCheckArgumentCountAtMost(arguments, 3, error))
        return KLVPUndefined();
    const KLVPValue condition = KLVPEvaluator::evaluateStatement(arguments[0], scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const bool taken = condition->booleanValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const std::size_t branch = taken ? 1 : 2;
    if (branch >= arguments.size()) return KLVPUndefined();
    const KLVPValue value = KLVPEvaluator::evaluateStatement(arguments[branch], scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return isArray(value) ? runElements(value, scope, error) : value;
}

KLVPValue returnStatement(std::span<const KLVPValue> arguments, KLVPScope& scope,
                          platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(arguments, 1, error)) return KLVPUndefined();
    const KLVPValues values = KLVPEvaluateArguments(arguments, scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPControlValue::returnValueWithData(values.empty() ? KLVPUndefined() : values[0]);
}

// Cases are tested in order until one strictly equals the discriminant; from there the bodies
// run in order (fall-through) until one breaks or signals otherwise. One body more than cases
// is the default, run after the walk.
KLVPValue switchStatement(std::span<const KLVPValue> arguments, KLVPScope& scope,
                          platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(arguments, 3, error)) return KLVPUndefined();
    const KLVPValues values = KLVPEvaluateArguments(arguments, scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    if (!isArray(values[1]) || !isArray(values[2])) return KLVPFail(error, kKLVPErrorArgumentCount);
    const KLVPValues cases = elementsOf(values[1], error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const KLVPValues bodies = elementsOf(values[2], error);
    if (KLVPFailed(error)) return KLVPUndefined();

    bool matched = false;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (!matched) {
            const KLVPValue candidate = KLVPEvaluator::evaluateStatement(cases[i], scope, error);
            if (KLVPFailed(error)) return KLVPUndefined();
            matched = KLVPStrictEquals(candidate, values[0], error);
            if (KLVPFailed(error)) return KLVPUndefined();
            if (!matched) continue;
        }
        if (i >= bodies.size()) break;
        const KLVPValue result = KLVPEvaluator::evaluateStatement(bodies[i], scope, error);
        if (KLVPFailed(error)) return KLVPUndefined();
        if (result->kind() == KLVPValueKind::Control) {
            return result == KLVPControlValue::breakValue() ? KLVPUndefined() : result;
        }
    }
    if (bodies.size() != cases.size() + 1) return KLVPUndefined();
    const KLVPValue result = KLVPEvaluator::evaluateStatement(bodies.back(), scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    if (result->kind() == KLVPValueKind::Control && result != KLVPControlValue::breakValue())
        return result;
    return KLVPUndefined();
}

KLVPValue conditional(std::span<const KLVPValue> arguments, KLVPScope& scope,
                      platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(arguments, 3, error)) return KLVPUndefined();
    const KLVPValue condition = KLVPEvaluator::evaluateStatement(arguments[0], scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const bool taken = condition->booleanValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPEvaluator::evaluateStatement(arguments[taken ? 1 : 2], scope, error);
}

KLVPValue statementList(std::span<const KLVPValue> arguments, KLVPScope& scope,
                        platform::Error* error) {
    auto array = KLVPObjectManager::arrayValueWithArray(
        KLVPValues(arguments.begin(), arguments.end()), scope, error);
    if (!array) return KLVPUndefined();
    return array;
}

// Name (not evaluated), parameter array, body statements.
std::shared_ptr<KLVPFunctionValue> makeFunction(std::span<const KLVPValue> arguments,
                                                KLVPScope& scope, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtLeast(arguments, 2, error)) return nullptr;
    std::u16string name = arguments[0]->stringValueOrError(error);
    if (KLVPFailed(error)) return nullptr;
    const KLVPValue parameters = KLVPEvaluator::evaluateStatement(arguments[1], scope, error);
    if (KLVPFailed(error)) return nullptr;
    if (!isArray(parameters)) {
        KLVPSetScriptError(error, kKLVPErrorArgumentKind);
        return nullptr;
    }
    std::vector<std::u16string> parameterNames;
    for (const KLVPValue& parameter : asArray(parameters).allElements()) {
        parameterNames.push_back(parameter->stringValueOrError(error));
        if (KLVPFailed(error)) return nullptr;
    }
    return KLVPObjectManager::functionValueWithFunctionName(
        std::move(name), std::move(parameterNames),
        KLVPValues(arguments.begin() + 2, arguments.end()), scope.shared_from_this());
}

KLVPValue functionLiteral(std::span<const KLVPValue> arguments, KLVPScope& scope,
                          platform::Error* error) {
    auto function = makeFunction(arguments, scope, error);
    if (!function) return KLVPUndefined();
    return function;
}

KLVPValue defineFunction(std::span<const KLVPValue> arguments, KLVPScope& scope,
                         platform::Error* error) {
    auto function = makeFunction(arguments, scope, error);
    if (!function) return KLVPUndefined();
    scope.setValue(function, function->functionName());
    return function;
}

KLVPValue block(std::span<const KLVPValue> arguments, KLVPScope& scope, platform::Error* error) {
    const std::shared_ptr<KLVPScope> child = scope.createChildScope();
    return KLVPEvaluator::executeStatements(arguments, *child, error);
}

constexpr KLVPCommandEntry kControlCommands[] = {
    {2, callMethod},       {4, breakStatement}, {5, runStatements},  {6, continueStatement},
    {9, runStatements},    {13, sequence},      {22, ifStatement},   {36, returnStatement},
    {38, switchStatement}, {39, conditional},   {46, statementList}, {50, defineFunction},
    {51, functionLiteral}, {53, block},
};

}  // namespace

KLVPControlCommandEvaluator::KLVPControlCommandEvaluator()
    : KLVPHandlerTableEvaluator(kControlCommands, Arguments::Unevaluated) {}

}  // namespace engine
