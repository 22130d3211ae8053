#include <string>

#include "engine/script/KLVPArrayValue.h"
#include "engine/script/KLVPEvaluator.h"
#include "engine/script/KLVPObjectValues.h"
#include "engine/script/KLVPScope.h"
#include "engine/script/KLVPScriptError.h"

// The variable opcodes receive the values: every argument has been evaluated, in order.

namespace engine {

namespace {

const std::u16string* nameOf(const KLVPValue& value) {
    if (value->kind() != KLVPValueKind::String) return nullptr;
    return &static_cast<const KLVPStringValue&>(*value).value();
}

KLVPValue assign(std::span<const KLVPValue> values, KLVPScope& scope, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(values, 2, error)) return KLVPUndefined();
    const std::u16string* name = nameOf(values[0]);
    if (!name) return KLVPFail(error, kKLVPErrorArgumentKind);
    if (!scope.hasName(*name)) return KLVPFail(error, kKLVPErrorUndeclaredAssignment);
    scope.setValue(values[1], *name);
    return values[1];
}

KLVPValue arrayLiteral(std::span<const KLVPValue> values, KLVPScope& scope,
                       platform::Error* error) {
    auto array = KLVPObjectManager::arrayValueWithArray(KLVPValues(values.begin(), values.end()),
                                                        scope, error);
    if (!array) return KLVPUndefined();
    return array;
}

KLVPValue objectLiteral(std::span<const KLVPValue> values, KLVPScope& scope,
                        platform::Error* error) {
    if (values.size() % 2 != 0) return KLVPFail(error, kKLVPErrorArgumentCount);
    const auto map = KLVPObjectManager::mapValueWithScope(scope);
    for (std::size_t i = 0; i < values.size(); i += 2) {
        const KLVPTextForm key(values[i], error);
        if (KLVPFailed(error)) return KLVPUndefined();
        map->setValue(values[i + 1], key.view());
    }
    return map;
}

KLVPValue readVariable(std::span<const KLVPValue> values, KLVPScope& scope,
                       platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(values, 1, error)) return KLVPUndefined();
    const std::u16string* name = nameOf(values[0]);
    if (!name) return KLVPFail(error, kKLVPErrorArgumentKind);
    return scope.valueForName(*name);
}

KLVPValue readStringProperty(const std::u16string& text, const KLVPValue& key) {
    if (const std::u16string* name = nameOf(key); name && *name == u"length")
        return KLVPNumberValue::make(static_cast<double>(text.size()));
    double index = 0;
    if (KLVPIsArrayIndex(*key, &index) && index < static_cast<double>(text.size()))
        return KLVPStringValue::make(std::u16string(1, text[static_cast<std::size_t>(index)]));
    return KLVPUndefined();
}

KLVPValue readProperty(std::span<const KLVPValue> values, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(values, 2, error)) return KLVPUndefined();
    const KLVPValue& object = values[0];
    switch (object->kind()) {
        case KLVPValueKind::Array:
            return static_cast<const KLVPArrayValue&>(*object).valueForProperty(values[1], error);
        case KLVPValueKind::Map:
        case KLVPValueKind::Function: {
            const KLVPTextForm key(values[1], error);
            if (KLVPFailed(error)) return KLVPUndefined();
            return static_cast<const KLVPObjectValue&>(*object).valueForProperty(key.view());
        }
        case KLVPValueKind::String:
            return readStringProperty(static_cast<const KLVPStringValue&>(*object).value(),
                                      values[1]);
        default:
            return KLVPUndefined();
    }
}

std::u16string typeName(const KLVPRuntimeValue& value) {
    switch (value.kind()) {
        case KLVPValueKind::Boolean:
            return u"boolean";
        case KLVPValueKind::Function:
            return u"function";
        case KLVPValueKind::Number:
            return u"number";
        case KLVPValueKind::String:
            return u"string";
        case KLVPValueKind::Undefined:
            return u"undefined";
        default:
            return u"object";
    }
}

KLVPValue typeofStatement(std::span<const KLVPValue> values, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(values, 1, error)) return KLVPUndefined();
    return KLVPStringValue::make(typeName(*values[0]));
}

KLVPValue declareVariables(std::span<const KLVPValue> values, KLVPScope& scope,
                           platform::Error* error) {
    for (const KLVPValue& value : values) {
        const std::u16string* name = nameOf(value);
        if (!name) return KLVPFail(error, kKLVPErrorArgumentKind);
        scope.addValue(KLVPUndefined(), *name);
    }
    return KLVPUndefined();
}

KLVPValue writeProperty(std::span<const KLVPValue> values, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(values, 3, error)) return KLVPUndefined();
    const KLVPValue& object = values[0];
    switch (object->kind()) {
        case KLVPValueKind::Undefined:
        case KLVPValueKind::Null:
            return KLVPFail(error, kKLVPErrorWriteToNullish);
        case KLVPValueKind::Array:
            if (!static_cast<KLVPArrayValue&>(*object).setValueForProperty(values[1], values[2],
                                                                           error))
                return KLVPUndefined();
            break;
        case KLVPValueKind::Map:
        case KLVPValueKind::Function: {
            const KLVPTextForm key(values[1], error);
            if (KLVPFailed(error)) return KLVPUndefined();
            static_cast<KLVPObjectValue&>(*object).setValue(values[2], key.view());
            break;
        }
        default:
            break;
    }
    return values[2];
}

KLVPValue undefinedLiteral(std::span<const KLVPValue>, KLVPScope&, platform::Error*) {
    return KLVPUndefined();
}

KLVPValue nullLiteral(std::span<const KLVPValue>, KLVPScope&, platform::Error*) {
    return KLVPNull();
}

KLVPValue declareConstants(std::span<const KLVPValue> values, KLVPScope& scope,
                           platform::Error* error) {
    if (values.size() % 2 != 0) return KLVPFail(error, kKLVPErrorArgumentCount);
    for (std::size_t i = 0; i < values.size(); i += 2) {
        const std::u16string* name = nameOf(values[i]);
        if (!name) return KLVPFail(error, kKLVPErrorArgumentKind);
        scope.addImmutableValue(values[i + 1], *name);
    }
    return KLVPUndefined();
}

constexpr KLVPCommandEntry kVariableCommands[] = {
    {3, assign},         {7, arrayLiteral},      {8, objectLiteral},    {15, readVariable},
    {16, readProperty},  {17, readProperty},     {40, typeofStatement}, {41, declareVariables},
    {43, writeProperty}, {44, undefinedLiteral}, {45, nullLiteral},     {52, declareConstants},
};

}  // namespace

KLVPVariableCommandEvaluator::KLVPVariableCommandEvaluator()
    : KLVPHandlerTableEvaluator(kVariableCommands, Arguments::Evaluated) {}

}  // namespace engine
