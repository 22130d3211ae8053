#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>

#include "engine/script/KLVPArrayValue.h"
#include "engine/script/KLVPEvaluator.h"
#include "engine/script/KLVPObjectValues.h"
#include "engine/script/KLVPScope.h"
#include "engine/script/KLVPScriptError.h"

// The methods a program calls on an array by name. Every walk takes the length once, skips holes
// and charges its slots as bulk work; the callbacks' statements count as they run.

namespace engine {

namespace {

using Values = std::span<const KLVPValue>;
using Handler = KLVPValue (*)(KLVPArrayValue& array, Values values, KLVPScope& scope,
                              platform::Error* error);

KLVPValue self(KLVPArrayValue& array) {
    return array.shared_from_this();
}

double integerOf(const KLVPValue& value, platform::Error* error) {
    return KLVPToInteger(value->doubleValueOrError(error));
}

// A relative position: negative counts from the end; clamped to 0 to n.
std::int64_t relativeIndex(double value, std::size_t n) {
    const double length = static_cast<double>(n);
    if (value < 0) value += length;
    return static_cast<std::int64_t>(std::clamp(value, 0.0, length));
}

bool hasSlot(const KLVPArrayValue& array, std::size_t i) {
    return i < array.count() && array.elements()[i]->kind() != KLVPValueKind::Hole;
}

KLVPFunctionValue* functionArgument(Values v, platform::Error* error) {
    if (v[0]->kind() != KLVPValueKind::Function) {
        KLVPSetScriptError(error, kKLVPErrorArgumentKind);
        return nullptr;
    }
    return &static_cast<KLVPFunctionValue&>(*v[0]);
}

KLVPValue newArray(KLVPValues values, KLVPScope& scope, platform::Error* error) {
    auto array = KLVPObjectManager::arrayValueWithArray(std::move(values), scope, error);
    if (!array) return KLVPUndefined();
    return array;
}

// Element walk: calls the function with (element, index, array) for each slot the array has,
// and hands each result to `step`, which answers false to stop.
template <typename Step>
bool walkElements(KLVPArrayValue& array, Values v, KLVPScope&, platform::Error* error, Step step) {
    if (!KLVPCheckArgumentCountEquals(v, 1, error)) return false;
    KLVPFunctionValue* function = functionArgument(v, error);
    if (!function) return false;
    const std::size_t n = array.count();
    if (!KLVPChargeWork(n, error)) return false;
    const KLVPValue receiver = self(array);
    for (std::size_t i = 0; i < n; ++i) {
        if (!hasSlot(array, i)) continue;
        const KLVPValue element = array.elements()[i];
        const KLVPValue arguments[] = {element, KLVPNumberValue::make(static_cast<double>(i)),
                                       receiver};
        const KLVPValue result = function->invokeWithEvaluatedArguments(arguments, error);
        if (KLVPFailed(error)) return false;
        const bool goOn = step(element, i, result);
        if (KLVPFailed(error)) return false;
        if (!goOn) break;
    }
    return true;
}

KLVPValue every(KLVPArrayValue& array, Values v, KLVPScope& scope, platform::Error* error) {
    bool all = true;
    if (!walkElements(array, v, scope, error,
                      [&](const KLVPValue&, std::size_t, const KLVPValue& r) {
                          all = r->booleanValueOrError(error);
                          return all;
                      }))
        return KLVPUndefined();
    return KLVPBoolean(all);
}

KLVPValue some(KLVPArrayValue& array, Values v, KLVPScope& scope, platform::Error* error) {
    bool any = false;
    if (!walkElements(array, v, scope, error,
                      [&](const KLVPValue&, std::size_t, const KLVPValue& r) {
                          any = r->booleanValueOrError(error);
                          return !any;
                      }))
        return KLVPUndefined();
    return KLVPBoolean(any);
}

KLVPValue forEach(KLVPArrayValue& array, Values v, KLVPScope& scope, platform::Error* error) {
    walkElements(array, v, scope, error,
                 [](const KLVPValue&, std::size_t, const KLVPValue&) { return true; });
    return KLVPUndefined();
}

KLVPValue filter(KLVPArrayValue& array, Values v, KLVPScope& scope, platform::Error* error) {
    KLVPValues kept;
    if (!walkElements(array, v, scope, error,
                      [&](const KLVPValue& element, std::size_t, const KLVPValue& r) {
                          if (r->booleanValueOrError(error)) kept.push_back(element);
                          return true;
                      }))
        return KLVPUndefined();
    return newArray(std::move(kept), scope, error);
}

KLVPValue map(KLVPArrayValue& array, Values v, KLVPScope& scope, platform::Error* error) {
    KLVPValues slots;
    if (!walkElements(array, v, scope, error,
                      [&](const KLVPValue&, std::size_t i, const KLVPValue& r) {
                          slots.resize(i + 1, KLVPArrayValue::emptyValue());
                          slots[i] = r;
                          return true;
                      }))
        return KLVPUndefined();
    return newArray(std::move(slots), scope, error);
}

KLVPValue reduce(KLVPArrayValue& array, Values v, KLVPScope&, platform::Error* error,
                 bool fromRight) {
    if (!KLVPCheckArgumentCountAtLeast(v, 1, error) || !KLVPCheckArgumentCountAtMost(v, 2, error))
        return KLVPUndefined();
    KLVPFunctionValue* function = functionArgument(v, error);
    if (!function) return KLVPUndefined();
    if (v.size() > 1 && v[1]->kind() == KLVPValueKind::Control)
        return KLVPFail(error, kKLVPErrorArgumentKind);
    const std::size_t n = array.count();
    if (!KLVPChargeWork(n, error)) return KLVPUndefined();
    // Positions in walking order.
    auto indexAt = [&](std::size_t step) { return fromRight ? n - 1 - step : step; };
    std::size_t step = 0;
    KLVPValue accumulator;
    if (v.size() > 1) {
        accumulator = v[1];
    } else {
        while (step < n && !hasSlot(array, indexAt(step)))
            ++step;
        if (step == n) return KLVPFail(error, kKLVPErrorReduceEmptyArray);
        accumulator = array.elements()[indexAt(step++)];
    }
    const KLVPValue receiver = self(array);
    for (; step < n; ++step) {
        const std::size_t i = indexAt(step);
        if (!hasSlot(array, i)) continue;
        const KLVPValue arguments[] = {accumulator, array.elements()[i],
                                       KLVPNumberValue::make(static_cast<double>(i)), receiver};
        accumulator = function->invokeWithEvaluatedArguments(arguments, error);
        if (KLVPFailed(error)) return KLVPUndefined();
    }
    return accumulator;
}

KLVPValue reduceLeft(KLVPArrayValue& array, Values v, KLVPScope& scope, platform::Error* error) {
    return reduce(array, v, scope, error, false);
}
KLVPValue reduceRight(KLVPArrayValue& array, Values v, KLVPScope& scope, platform::Error* error) {
    return reduce(array, v, scope, error, true);
}

KLVPValue concat(KLVPArrayValue& array, Values v, KLVPScope& scope, platform::Error* error) {
    const auto result = KLVPObjectManager::subarrayWithArray(
        array, 0, static_cast<std::int64_t>(array.count()), scope, error);
    if (!result) return KLVPUndefined();
    for (const KLVPValue& value : v) {
        if (!result->concat(value, error)) return KLVPUndefined();
    }
    return result;
}

KLVPValue hasOwnProperty(KLVPArrayValue& array, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(v, 1, error)) return KLVPUndefined();
    if (v[0]->kind() == KLVPValueKind::String &&
        static_cast<const KLVPStringValue&>(*v[0]).value() == u"length")
        return KLVPBoolean(true);
    const bool has = array.hasProperty(v[0], error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPBoolean(has);
}

KLVPValue indexOf(KLVPArrayValue& array, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 2, error)) return KLVPUndefined();
    const KLVPValue& value = v.empty() ? KLVPUndefined() : v[0];
    const double n = static_cast<double>(array.count());
    double start = 0;
    if (v.size() > 1) {
        const double k = integerOf(v[1], error);
        if (KLVPFailed(error)) return KLVPUndefined();
        if (k >= n) return KLVPNumberValue::make(-1);
        start = k < 0 ? std::max(k + n, 0.0) : k;
    }
    const std::int64_t found = array.indexOfValue(value, static_cast<std::int64_t>(start), error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPNumberValue::make(static_cast<double>(found));
}

KLVPValue lastIndexOf(KLVPArrayValue& array, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 2, error)) return KLVPUndefined();
    const KLVPValue& value = v.empty() ? KLVPUndefined() : v[0];
    const double n = static_cast<double>(array.count());
    double start = n - 1;
    if (v.size() > 1) {
        const double d = v[1]->doubleValueOrError(error);
        if (KLVPFailed(error)) return KLVPUndefined();
        if (!std::isnan(d)) {
            const double k = KLVPToInteger(d);
            start = std::min(k < 0 ? k + n : k, n - 1);
        }
    }
    if (start < 0) return KLVPNumberValue::make(-1);
    const std::int64_t found =
        array.lastIndexOfValue(value, static_cast<std::int64_t>(start), error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPNumberValue::make(static_cast<double>(found));
}

KLVPValue join(KLVPArrayValue& array, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 1, error)) return KLVPUndefined();
    std::u16string separator = u",";
    if (!v.empty()) {
        const KLVPValueKind kind = v[0]->kind();
        separator = kind == KLVPValueKind::Undefined || kind == KLVPValueKind::Null
                        ? std::u16string()
                        : v[0]->stringValueOrError(error);
        if (KLVPFailed(error)) return KLVPUndefined();
    }
    std::u16string text = array.stringValueWithSeparator(separator, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPStringValue::make(std::move(text), error);
}

KLVPValue toString(KLVPArrayValue& array, Values v, KLVPScope& scope, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(v, 0, error)) return KLVPUndefined();
    return join(array, v, scope, error);
}

KLVPValue pop(KLVPArrayValue& array, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(v, 0, error)) return KLVPUndefined();
    return array.removeLastElement();
}

KLVPValue shift(KLVPArrayValue& array, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(v, 0, error)) return KLVPUndefined();
    if (!KLVPChargeWork(array.count(), error)) return KLVPUndefined();
    return array.removeFirstElement();
}

KLVPValue push(KLVPArrayValue& array, Values v, KLVPScope&, platform::Error* error) {
    const std::optional<std::size_t> length = array.appendElements(v, error);
    if (!length) return KLVPUndefined();
    return KLVPNumberValue::make(static_cast<double>(*length));
}

KLVPValue unshift(KLVPArrayValue& array, Values v, KLVPScope&, platform::Error* error) {
    const std::optional<std::size_t> length = array.prependElements(v, error);
    if (!length) return KLVPUndefined();
    return KLVPNumberValue::make(static_cast<double>(*length));
}

KLVPValue reverse(KLVPArrayValue& array, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(v, 0, error)) return KLVPUndefined();
    if (!KLVPChargeWork(array.count(), error)) return KLVPUndefined();
    array.reverse();
    return self(array);
}

KLVPValue slice(KLVPArrayValue& array, Values v, KLVPScope& scope, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 2, error)) return KLVPUndefined();
    const std::size_t n = array.count();
    const double first = v.empty() ? 0 : integerOf(v[0], error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const std::int64_t start = relativeIndex(first, n);
    std::int64_t end = static_cast<std::int64_t>(n);
    if (v.size() > 1) {
        const double last = integerOf(v[1], error);
        if (KLVPFailed(error)) return KLVPUndefined();
        end = std::max(relativeIndex(last, n), start);
    }
    auto result = KLVPObjectManager::subarrayWithArray(array, start, end - start, scope, error);
    if (!result) return KLVPUndefined();
    return result;
}

KLVPValue splice(KLVPArrayValue& array, Values v, KLVPScope& scope, platform::Error* error) {
    if (v.empty()) return newArray({}, scope, error);
    const std::size_t n = array.count();
    const double first = integerOf(v[0], error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const std::int64_t start = relativeIndex(first, n);
    const std::int64_t remaining = static_cast<std::int64_t>(n) - start;
    std::int64_t deleteCount = remaining;
    if (v.size() > 1) {
        const double count = integerOf(v[1], error);
        if (KLVPFailed(error)) return KLVPUndefined();
        deleteCount =
            static_cast<std::int64_t>(std::clamp(count, 0.0, static_cast<double>(remaining)));
    }
    const Values items = v.size() > 2 ? v.subspan(2) : Values();
    std::optional<KLVPValues> removed = array.spliceFrom(start, deleteCount, items, error);
    if (!removed) return KLVPUndefined();
    return newArray(std::move(*removed), scope, error);
}

// Sorting: a stable merge sort of a copy of the slots, written back at the end, so that a
// comparator that is inconsistent or changes the array cannot disturb the sort itself.
class SlotOrder {
  public:
    SlotOrder(KLVPFunctionValue* comparator, platform::Error* error)
        : comparator_(comparator), error_(error) {}

    // a strictly before b.
    bool before(const KLVPValue& a, const KLVPValue& b) {
        if (failed_) return false;
        const int ra = rank(*a);
        const int rb = rank(*b);
        if (ra != rb) return ra < rb;
        if (ra != 0) return false;
        if (comparator_) {
            const KLVPValue arguments[] = {a, b};
            platform::Error error;
            const KLVPValue result = comparator_->invokeWithEvaluatedArguments(arguments, &error);
            const double order = KLVPFailed(&error) ? 0 : result->doubleValueOrError(&error);
            if (keep(error)) return false;
            return order < 0;
        }
        platform::Error error;
        const KLVPTextForm left(a, &error);
        if (keep(error)) return false;
        const KLVPTextForm right(b, &error);
        if (keep(error)) return false;
        const int order = KLVPCompareStrings(left.view(), right.view(), &error);
        if (keep(error)) return false;
        return order < 0;
    }

    bool failed() const { return failed_; }

  private:
    // Defined values, then undefined, then holes.
    static int rank(const KLVPRuntimeValue& value) {
        if (value.kind() == KLVPValueKind::Hole) return 2;
        return value.kind() == KLVPValueKind::Undefined ? 1 : 0;
    }

    bool keep(const platform::Error& error) {
        if (!KLVPFailed(&error)) return false;
        failed_ = true;
        if (error_) *error_ = error;
        return true;
    }

    KLVPFunctionValue* const comparator_;
    platform::Error* const error_;
    bool failed_ = false;
};

void mergeSort(KLVPValues& slots, SlotOrder& order) {
    KLVPValues buffer(slots.size());
    for (std::size_t width = 1; width < slots.size(); width *= 2) {
        for (std::size_t low = 0; low < slots.size(); low += 2 * width) {
            const std::size_t middle = std::min(low + width, slots.size());
            const std::size_t high = std::min(low + 2 * width, slots.size());
            std::size_t i = low;
            std::size_t j = middle;
            std::size_t k = low;
            while (i < middle && j < high)
                buffer[k++] = order.before(slots[j], slots[i]) ? slots[j++] : slots[i++];
            while (i < middle)
                buffer[k++] = slots[i++];
            while (j < high)
                buffer[k++] = slots[j++];
        }
        slots.swap(buffer);
    }
}

KLVPValue sort(KLVPArrayValue& array, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 1, error)) return KLVPUndefined();
    const std::size_t n = array.count();
    if (n < 2) return self(array);
    KLVPFunctionValue* comparator = nullptr;
    if (!v.empty() && !(comparator = functionArgument(v, error))) return KLVPUndefined();
    std::size_t levels = 1;
    while ((std::size_t{1} << levels) < n)
        ++levels;
    if (!KLVPChargeWork(n * levels, error)) return KLVPUndefined();
    KLVPValues slots = array.elements();
    SlotOrder order(comparator, error);
    mergeSort(slots, order);
    platform::Error ignored;
    array.spliceFrom(0, static_cast<std::int64_t>(array.count()), slots, &ignored);
    if (order.failed()) return KLVPUndefined();
    return self(array);
}

struct Method {
    std::u16string_view name;
    Handler handler;
};

constexpr Method kMethods[] = {
    {u"concat", concat},
    {u"every", every},
    {u"filter", filter},
    {u"forEach", forEach},
    {u"hasOwnProperty", hasOwnProperty},
    {u"indexOf", indexOf},
    {u"join", join},
    {u"lastIndexOf", lastIndexOf},
    {u"map", map},
    {u"pop", pop},
    {u"push", push},
    {u"reduce", reduceLeft},
    {u"reduceRight", reduceRight},
    {u"reverse", reverse},
    {u"shift", shift},
    {u"slice", slice},
    {u"some", some},
    {u"sort", sort},
    {u"splice", splice},
    {u"toString", toString},
    {u"unshift", unshift},
};

}  // namespace

const KLVPArrayCommandEvaluator& KLVPArrayCommandEvaluator::sharedInstance() {
    static const KLVPArrayCommandEvaluator evaluator;
    return evaluator;
}

KLVPValue KLVPArrayCommandEvaluator::evaluateCommand(std::u16string_view name,
                                                     KLVPArrayValue& array,
                                                     std::span<const KLVPValue> arguments,
                                                     KLVPScope& scope,
                                                     platform::Error* error) const {
    const auto method = std::find_if(std::begin(kMethods), std::end(kMethods),
                                     [name](const Method& m) { return m.name == name; });
    if (method == std::end(kMethods)) return KLVPFail(error, kKLVPErrorUnknownMethod);
    const KLVPValues values = KLVPEvaluateArguments(arguments, scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    // Held for the call: a callback may drop every other reference to the array.
    const KLVPValue receiver = self(array);
    const KLVPValue result = method->handler(array, values, scope, error);
    return KLVPFailed(error) ? KLVPUndefined() : result;
}

}  // namespace engine
