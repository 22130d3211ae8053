#include <string>
#include <vector>

#include "engine/script/KLVPArrayValue.h"
#include "engine/script/KLVPEvaluator.h"
#include "engine/script/KLVPObjectValues.h"
#include "engine/script/KLVPScope.h"
#include "engine/script/KLVPScriptError.h"
#include "engine/script/KLVPText.h"

// The loops receive the statements and check their counts before they evaluate anything. Their
// only bound is the run's instruction limit: every statement counts, and the native walks over
// keys and items count their bulk work too.

namespace engine {

namespace {

// The statements of a body (or the names of forLet), copied so that the body may change the array.
bool bodyOf(const KLVPValue& value, KLVPValues* out, platform::Error* error) {
    if (value->kind() != KLVPValueKind::Array)
        return KLVPSetScriptError(error, kKLVPErrorArgumentKind);
    *out = static_cast<const KLVPArrayValue&>(*value).allElements();
    return KLVPChargeWork(out->size(), error);
}

enum class Step { Next, End };

// One run of the body; `result` is set when the loop must return a value other than undefined.
Step runBody(const KLVPValues& body, KLVPScope& scope, KLVPValue* result, platform::Error* error) {
    const KLVPValue value = KLVPEvaluator::executeStatements(body, scope, error);
    if (KLVPFailed(error)) return Step::End;
    if (value == KLVPControlValue::breakValue()) return Step::End;
    if (value->kind() == KLVPValueKind::Control &&
        static_cast<const KLVPControlValue&>(*value).type() == KLVPControlValue::Type::Return) {
        *result = value;
        return Step::End;
    }
    return Step::Next;
}

bool evaluateCondition(const KLVPValue& statement, KLVPScope& scope, platform::Error* error) {
    const KLVPValue value = KLVPEvaluator::evaluateStatement(statement, scope, error);
    if (KLVPFailed(error)) return false;
    const bool truth = value->booleanValueOrError(error);
    return truth && !KLVPFailed(error);
}

KLVPValue finish(const KLVPValue& result, platform::Error* error) {
    return KLVPFailed(error) ? KLVPUndefined() : result;
}

KLVPValue whileLoop(std::span<const KLVPValue> arguments, KLVPScope& scope,
                    platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(arguments, 4, error)) return KLVPUndefined();
    const KLVPValue flag = KLVPEvaluator::evaluateStatement(arguments[2], scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const bool runFirst = flag->booleanValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const KLVPValue bodyValue = KLVPEvaluator::evaluateStatement(arguments[3], scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    KLVPValues body;
    if (!bodyOf(bodyValue, &body, error)) return KLVPUndefined();

    KLVPValue result = KLVPUndefined();
    if (runFirst && runBody(body, scope, &result, error) == Step::End) return finish(result, error);
    while (evaluateCondition(arguments[0], scope, error)) {
        if (runBody(body, scope, &result, error) == Step::End) return finish(result, error);
        KLVPEvaluator::evaluateStatement(arguments[1], scope, error);
        if (KLVPFailed(error)) return KLVPUndefined();
    }
    return finish(result, error);
}

// A new child of the loop's scope holding a copy of each named variable as `from` reads it.
std::shared_ptr<KLVPScope> iterationScope(KLVPScope& loopScope, const KLVPScope& from,
                                          const std::vector<std::u16string>& names) {
    std::shared_ptr<KLVPScope> scope = loopScope.createChildScope();
    for (const std::u16string& name : names)
        scope->addValue(from.valueForName(name), name);
    return scope;
}

KLVPValue forLet(std::span<const KLVPValue> arguments, KLVPScope& scope, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(arguments, 4, error)) return KLVPUndefined();
    const KLVPValue namesValue = KLVPEvaluator::evaluateStatement(arguments[0], scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    KLVPValues nameValues;
    if (!bodyOf(namesValue, &nameValues, error)) return KLVPUndefined();
    const KLVPValue bodyValue = KLVPEvaluator::evaluateStatement(arguments[3], scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    KLVPValues body;
    if (!bodyOf(bodyValue, &body, error)) return KLVPUndefined();
    std::vector<std::u16string> names;
    for (const KLVPValue& name : nameValues) {
        names.push_back(name->stringValueOrError(error));
        if (KLVPFailed(error)) return KLVPUndefined();
    }

    std::shared_ptr<KLVPScope> current = iterationScope(scope, scope, names);
    if (!evaluateCondition(arguments[1], *current, error)) return KLVPUndefined();
    KLVPValue result = KLVPUndefined();
    do {
        if (runBody(body, *current, &result, error) == Step::End) return finish(result, error);
        current = iterationScope(scope, *current, names);
        if (!KLVPChargeWork(names.size(), error)) return KLVPUndefined();
        KLVPEvaluator::evaluateStatement(arguments[2], *current, error);
        if (KLVPFailed(error)) return KLVPUndefined();
    } while (evaluateCondition(arguments[1], *current, error));
    return finish(result, error);
}

KLVPValues stringList(const std::vector<std::u16string>& texts) {
    KLVPValues values;
    values.reserve(texts.size());
    for (const std::u16string& text : texts)
        values.push_back(KLVPStringValue::make(text));
    return values;
}

// The keys of a value, all strings; each made as the run's memory allows.
bool keysOf(const KLVPValue& value, KLVPValues* keys, platform::Error* error) {
    switch (value->kind()) {
        case KLVPValueKind::String: {
            const std::size_t length = static_cast<const KLVPStringValue&>(*value).value().size();
            for (std::size_t i = 0; i < length; ++i) {
                keys->push_back(
                    KLVPStringValue::make(KLVPUTF16FromASCII(std::to_string(i)), error));
                if (KLVPFailed(error)) return false;
            }
            return true;
        }
        case KLVPValueKind::Array:
            *keys = static_cast<const KLVPArrayValue&>(*value).allPropertyNames(error);
            return !KLVPFailed(error);
        case KLVPValueKind::Map:
        case KLVPValueKind::Function:
            *keys = stringList(static_cast<const KLVPObjectValue&>(*value).allPropertyNames());
            return true;
        default:
            return true;
    }
}

// The items of a string (its code units) or an array (holes read as undefined); error 16 else.
bool itemsOf(const KLVPValue& value, KLVPValues* items, platform::Error* error) {
    if (value->kind() == KLVPValueKind::String) {
        for (char16_t unit : static_cast<const KLVPStringValue&>(*value).value()) {
            items->push_back(KLVPStringValue::make(std::u16string(1, unit), error));
            if (KLVPFailed(error)) return false;
        }
        return true;
    }
    if (value->kind() == KLVPValueKind::Array) {
        *items = static_cast<const KLVPArrayValue&>(*value).allElements();
        return true;
    }
    return KLVPSetScriptError(error, kKLVPErrorNotIterable);
}

enum class Binding { Assign, Const, Let };
enum class Walk { Keys, Items };

KLVPValue walk(std::span<const KLVPValue> arguments, KLVPScope& scope, platform::Error* error,
               Walk kind, Binding binding) {
    if (!KLVPCheckArgumentCountEquals(arguments, 3, error)) return KLVPUndefined();
    const KLVPValues values = KLVPEvaluateArguments(arguments, scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const std::u16string name = values[0]->stringValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    KLVPValues list;
    if (!(kind == Walk::Keys ? keysOf(values[1], &list, error) : itemsOf(values[1], &list, error)))
        return KLVPUndefined();
    if (!KLVPChargeWork(list.size(), error)) return KLVPUndefined();
    KLVPValues body;
    if (!bodyOf(values[2], &body, error)) return KLVPUndefined();

    KLVPValue result = KLVPUndefined();
    for (const KLVPValue& item : list) {
        Step step;
        if (binding == Binding::Assign) {
            scope.setValue(item, name);
            step = runBody(body, scope, &result, error);
        } else {
            const std::shared_ptr<KLVPScope> child = scope.createChildScope();
            if (binding == Binding::Const) {
                child->addImmutableValue(item, name);
            } else {
                child->addValue(item, name);
            }
            step = runBody(body, *child, &result, error);
        }
        if (step == Step::End) break;
    }
    return finish(result, error);
}

KLVPValue forInAssign(std::span<const KLVPValue> a, KLVPScope& s, platform::Error* e) {
    return walk(a, s, e, Walk::Keys, Binding::Assign);
}
KLVPValue forInConst(std::span<const KLVPValue> a, KLVPScope& s, platform::Error* e) {
    return walk(a, s, e, Walk::Keys, Binding::Const);
}
KLVPValue forInLet(std::span<const KLVPValue> a, KLVPScope& s, platform::Error* e) {
    return walk(a, s, e, Walk::Keys, Binding::Let);
}
KLVPValue forOfAssign(std::span<const KLVPValue> a, KLVPScope& s, platform::Error* e) {
    return walk(a, s, e, Walk::Items, Binding::Assign);
}
KLVPValue forOfConst(std::span<const KLVPValue> a, KLVPScope& s, platform::Error* e) {
    return walk(a, s, e, Walk::Items, Binding::Const);
}
KLVPValue forOfLet(std::span<const KLVPValue> a, KLVPScope& s, platform::Error* e) {
    return walk(a, s, e, Walk::Items, Binding::Let);
}

constexpr KLVPCommandEntry kLoopCommands[] = {
    {42, whileLoop}, {47, forInAssign}, {54, forInConst}, {55, forInLet},
    {63, forLet},    {64, forOfAssign}, {65, forOfConst}, {66, forOfLet},
};

}  // namespace

KLVPLoopCommandEvaluator::KLVPLoopCommandEvaluator()
    : KLVPHandlerTableEvaluator(kLoopCommands, Arguments::Unevaluated) {}

}  // namespace engine
