#include <cmath>
#include <string>

#include "engine/script/KLVPEvaluator.h"
#include "engine/script/KLVPScope.h"
#include "engine/script/KLVPScriptError.h"
#include "engine/script/KLVPText.h"

// The operator families: comparison (counted, then evaluated), logical (the handlers evaluate what
// they need), bitwise and arithmetic (evaluated first, counted afterwards).

namespace engine {

namespace {

// Comparison.

int comparisonRank(const KLVPRuntimeValue& value) {
    switch (value.kind()) {
        case KLVPValueKind::Undefined:
        case KLVPValueKind::Null:
            return 0;
        case KLVPValueKind::Number:
        case KLVPValueKind::Boolean:
            return 1;
        case KLVPValueKind::String:
            return 2;
        default:
            return 3;
    }
}

bool looselyEquals(const KLVPValue& a, const KLVPValue& b, platform::Error* error) {
    const bool swap = comparisonRank(*b) < comparisonRank(*a);
    const KLVPValue& x = swap ? b : a;
    const KLVPValue& y = swap ? a : b;
    switch (comparisonRank(*x)) {
        case 0:
            return comparisonRank(*y) == 0;
        case 1: {
            const double left = x->doubleValueOrError(error);
            if (KLVPFailed(error)) return false;
            const double right = y->doubleValueOrError(error);
            return !KLVPFailed(error) && KLVPNumbersEqual(left, right);
        }
        case 2: {
            const KLVPTextForm left(x, error);
            if (KLVPFailed(error)) return false;
            const KLVPTextForm right(y, error);
            return !KLVPFailed(error) && KLVPStringsEqual(left.view(), right.view(), error);
        }
        default:
            return x == y;
    }
}

// -1, 0 or 1; NaN on either side and failures give 1, so every relational opcode is false then.
int relational(const KLVPValue& a, const KLVPValue& b, platform::Error* error) {
    if (KLVPIsObjectLike(*a) && KLVPIsObjectLike(*b)) {
        const KLVPTextForm left(a, error);
        if (KLVPFailed(error)) return 1;
        const KLVPTextForm right(b, error);
        if (KLVPFailed(error)) return 1;
        return KLVPCompareStrings(left.view(), right.view(), error);
    }
    const double left = a->doubleValueOrError(error);
    if (KLVPFailed(error)) return 1;
    const double right = b->doubleValueOrError(error);
    if (KLVPFailed(error)) return 1;
    if (left == right) return 0;
    return left < right ? -1 : 1;
}

template <typename Test>
KLVPValue booleanResult(platform::Error* error, Test test) {
    const bool result = test();
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPBoolean(result);
}

KLVPValue equals(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return booleanResult(error, [&] { return looselyEquals(v[0], v[1], error); });
}
KLVPValue notEquals(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return booleanResult(error, [&] { return !looselyEquals(v[0], v[1], error); });
}
KLVPValue strictEquals(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return booleanResult(error, [&] { return KLVPStrictEquals(v[0], v[1], error); });
}
KLVPValue strictNotEquals(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return booleanResult(error, [&] { return !KLVPStrictEquals(v[0], v[1], error); });
}
KLVPValue lessThan(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return booleanResult(error, [&] { return relational(v[0], v[1], error) == -1; });
}
KLVPValue lessThanOrEquals(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return booleanResult(error, [&] { return relational(v[0], v[1], error) <= 0; });
}
KLVPValue greaterThan(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return booleanResult(error, [&] { return relational(v[1], v[0], error) == -1; });
}
KLVPValue greaterThanOrEquals(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return booleanResult(error, [&] { return relational(v[1], v[0], error) <= 0; });
}

constexpr KLVPCommandEntry kComparisonCommands[] = {
    {12, equals},          {18, greaterThan}, {19, greaterThanOrEquals}, {20, strictEquals},
    {21, strictNotEquals}, {23, lessThan},    {24, lessThanOrEquals},    {29, notEquals},
};

// Logical: the handlers get the statements.

KLVPValue shortCircuit(std::span<const KLVPValue> arguments, KLVPScope& scope,
                       platform::Error* error, bool continueWhen) {
    if (!KLVPCheckArgumentCountEquals(arguments, 2, error)) return KLVPUndefined();
    KLVPValue first = KLVPEvaluator::evaluateStatement(arguments[0], scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const bool truth = first->booleanValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    if (truth != continueWhen) return first;
    return KLVPEvaluator::evaluateStatement(arguments[1], scope, error);
}

KLVPValue logicalAnd(std::span<const KLVPValue> arguments, KLVPScope& scope,
                     platform::Error* error) {
    return shortCircuit(arguments, scope, error, true);
}
KLVPValue logicalOr(std::span<const KLVPValue> arguments, KLVPScope& scope,
                    platform::Error* error) {
    return shortCircuit(arguments, scope, error, false);
}
KLVPValue logicalNot(std::span<const KLVPValue> arguments, KLVPScope& scope,
                     platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(arguments, 1, error)) return KLVPUndefined();
    const KLVPValue value = KLVPEvaluator::evaluateStatement(arguments[0], scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return booleanResult(error, [&] { return !value->booleanValueOrError(error); });
}

constexpr KLVPCommandEntry kLogicalCommands[] = {
    {1, logicalAnd},
    {28, logicalNot},
    {30, logicalOr},
};

// Bitwise: the handlers get the values.

template <typename Operation>
KLVPValue binaryBits(std::span<const KLVPValue> v, platform::Error* error, Operation op) {
    if (!KLVPCheckArgumentCountEquals(v, 2, error)) return KLVPUndefined();
    const double a = v[0]->doubleValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const double b = v[1]->doubleValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPNumberValue::make(op(KLVPToUint32(a), KLVPToUint32(b)));
}

double signedBits(std::uint32_t bits) {
    return static_cast<double>(static_cast<std::int32_t>(bits));
}

KLVPValue bitwiseAnd(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return binaryBits(v, error, [](std::uint32_t a, std::uint32_t b) { return signedBits(a & b); });
}
KLVPValue bitwiseOr(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return binaryBits(v, error, [](std::uint32_t a, std::uint32_t b) { return signedBits(a | b); });
}
KLVPValue bitwiseXor(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return binaryBits(v, error, [](std::uint32_t a, std::uint32_t b) { return signedBits(a ^ b); });
}
KLVPValue bitwiseLeftShift(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return binaryBits(v, error,
                      [](std::uint32_t a, std::uint32_t b) { return signedBits(a << (b & 31)); });
}
KLVPValue bitwiseRightShift(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return binaryBits(v, error, [](std::uint32_t a, std::uint32_t b) {
        // Arithmetic shift of the signed pattern (defined in C++20).
        return static_cast<double>(static_cast<std::int32_t>(a) >> (b & 31));
    });
}
KLVPValue bitwiseUnsignedRightShift(std::span<const KLVPValue> v, KLVPScope&,
                                    platform::Error* error) {
    return binaryBits(v, error, [](std::uint32_t a, std::uint32_t b) {
        return static_cast<double>(a >> (b & 31));
    });
}
KLVPValue bitwiseNot(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(v, 1, error)) return KLVPUndefined();
    const double a = v[0]->doubleValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPNumberValue::make(signedBits(~KLVPToUint32(a)));
}

constexpr KLVPCommandEntry kBitwiseCommands[] = {
    {56, bitwiseAnd},        {57, bitwiseLeftShift},          {58, bitwiseNot}, {59, bitwiseOr},
    {60, bitwiseRightShift}, {61, bitwiseUnsignedRightShift}, {62, bitwiseXor},
};

// Arithmetic: the handlers get the values.

template <typename Operation>
KLVPValue binaryNumbers(std::span<const KLVPValue> v, platform::Error* error, Operation op) {
    if (!KLVPCheckArgumentCountEquals(v, 2, error)) return KLVPUndefined();
    const double a = v[0]->doubleValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const double b = v[1]->doubleValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPNumberValue::make(op(a, b));
}

KLVPValue add(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(v, 2, error)) return KLVPUndefined();
    if (!KLVPIsObjectLike(*v[0]) && !KLVPIsObjectLike(*v[1]))
        return binaryNumbers(v, error, [](double a, double b) { return a + b; });
    const KLVPTextForm left(v[0], error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const KLVPTextForm right(v[1], error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const std::size_t length = left.view().size() + right.view().size();
    if (length > kKLVPMaxTextLength) return KLVPFail(error, kKLVPErrorRuntimeLimit);
    std::u16string text;
    text.reserve(length);
    text.append(left.view());
    text.append(right.view());
    return KLVPStringValue::make(std::move(text), error);
}

KLVPValue subtract(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return binaryNumbers(v, error, [](double a, double b) { return a - b; });
}
KLVPValue multiply(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return binaryNumbers(v, error, [](double a, double b) { return a * b; });
}
KLVPValue divide(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return binaryNumbers(v, error, [](double a, double b) { return a / b; });
}
KLVPValue modulus(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    return binaryNumbers(v, error, [](double a, double b) { return std::fmod(a, b); });
}
KLVPValue negate(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(v, 1, error)) return KLVPUndefined();
    const double a = v[0]->doubleValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPNumberValue::make(-a);
}
KLVPValue keepFirst(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(v, 2, error)) return KLVPUndefined();
    return v[0];
}
KLVPValue passThrough(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(v, 1, error)) return KLVPUndefined();
    return v[0];
}

constexpr KLVPCommandEntry kMathCommands[] = {
    {0, add},        {10, divide},    {25, modulus},     {26, multiply},    {27, negate},
    {32, keepFirst}, {33, keepFirst}, {34, passThrough}, {35, passThrough}, {37, subtract},
};

}  // namespace

KLVPComparisonCommandEvaluator::KLVPComparisonCommandEvaluator()
    : KLVPHandlerTableEvaluator(kComparisonCommands, Arguments::Evaluated) {}

// Counts before anything runs.
KLVPValue KLVPComparisonCommandEvaluator::evaluateCommand(int opcode,
                                                          std::span<const KLVPValue> arguments,
                                                          KLVPScope& scope,
                                                          platform::Error* error) const {
    if (!KLVPCheckArgumentCountEquals(arguments, 2, error)) return KLVPUndefined();
    return KLVPHandlerTableEvaluator::evaluateCommand(opcode, arguments, scope, error);
}

KLVPLogicalCommandEvaluator::KLVPLogicalCommandEvaluator()
    : KLVPHandlerTableEvaluator(kLogicalCommands, Arguments::Unevaluated) {}

KLVPBitwiseCommandEvaluator::KLVPBitwiseCommandEvaluator()
    : KLVPHandlerTableEvaluator(kBitwiseCommands, Arguments::Evaluated) {}

KLVPMathCommandEvaluator::KLVPMathCommandEvaluator()
    : KLVPHandlerTableEvaluator(kMathCommands, Arguments::Evaluated) {}

}  // namespace engine
