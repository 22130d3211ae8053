#include "engine/script/KLVPArrayValue.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/messages/MessageCodec.h"
#include "engine/script/KLVPBudget.h"
#include "engine/script/KLVPObjectValues.h"
#include "engine/script/KLVPScope.h"
#include "engine/script/KLVPScriptError.h"
#include "engine/script/KLVPText.h"
#include "platform/foundation/NoDestructor.h"

namespace engine {

namespace {

// The hole marker: a plain value that never reaches a program.
class KLVPHoleValue final : public KLVPRuntimeValue {
  public:
    KLVPHoleValue() : KLVPRuntimeValue(KLVPValueKind::Hole) {}
};

bool isLengthKey(const KLVPValue& key) {
    return key->kind() == KLVPValueKind::String &&
           static_cast<const KLVPStringValue&>(*key).value() == u"length";
}

std::size_t clampIndex(std::int64_t value, std::size_t length) {
    if (value <= 0) return 0;
    return std::min(static_cast<std::size_t>(value), length);
}

}  // namespace

KLVPArrayValue::~KLVPArrayValue() {
    releaseSlots(std::move(elements_));
}

const KLVPValue& KLVPArrayValue::emptyValue() {
    static platform::NoDestructor<KLVPValue> hole(std::make_shared<KLVPHoleValue>());
    return hole.get();
}

void KLVPArrayValue::releaseSlots(KLVPValues slots) {
    for (KLVPValue& slot : slots)
        KLVPRelease(std::move(slot));
}

bool KLVPArrayValue::grow(std::size_t added, platform::Error* error) const {
    if (added > kKLVPMaxArrayLength - std::min(elements_.size(), kKLVPMaxArrayLength))
        return KLVPSetScriptError(error, kKLVPErrorRuntimeLimit);
    return KLVPChargeMemory(kKLVPSlotBytes * added, error) && KLVPChargeWork(added, error);
}

namespace {

// The arrays being turned into text on this thread: a conversion is a plain recursion through
// nested arrays, so their depth and any cycle are caught here.
thread_local KLVPConversionPath textConversion;

}  // namespace

// Forms.

std::u16string KLVPArrayValue::stringValueWithSeparator(std::u16string_view separator,
                                                        platform::Error* error) const {
    // Each array joined makes a text: an instruction beside the units it visits.
    const KLVPConversionPath::Step step(textConversion, this, error);
    if (!step || !KLVPChargeWork(kKLVPWorkUnitsPerInstruction + elements_.size(), error)) return {};
    std::u16string text;
    const auto append = [&](std::u16string_view piece) {
        if (piece.size() > kKLVPMaxTextLength - text.size())
            return KLVPSetScriptError(error, kKLVPErrorRuntimeLimit);
        if (!KLVPChargeWork(piece.size(), error)) return false;
        text += piece;
        return true;
    };
    for (std::size_t i = 0; i < elements_.size(); ++i) {
        if (i > 0 && !append(separator)) return {};
        const KLVPValue& slot = elements_[i];
        const KLVPValueKind kind = slot->kind();
        if (kind == KLVPValueKind::Hole || kind == KLVPValueKind::Undefined ||
            kind == KLVPValueKind::Null)
            continue;
        const KLVPTextForm piece(slot, error);
        if (KLVPFailed(error) || !append(piece.view())) return {};
    }
    return text;
}

std::u16string KLVPArrayValue::stringValueOrError(platform::Error* error) const {
    return stringValueWithSeparator(u",", error);
}

double KLVPArrayValue::doubleValueOrError(platform::Error* error) const {
    const std::u16string text = stringValueOrError(error);
    if (KLVPFailed(error)) return std::numeric_limits<double>::quiet_NaN();
    return KLVPNumberFromText(text);
}

bool KLVPArrayValue::booleanValueOrError(platform::Error*) const {
    return true;
}

// Length and properties.

bool KLVPArrayValue::setLength(std::size_t length, platform::Error* error) {
    if (length > kKLVPMaxArrayLength) return KLVPSetScriptError(error, kKLVPErrorRuntimeLimit);
    if (length < elements_.size()) {
        KLVPValues removed(
            std::make_move_iterator(elements_.begin() + static_cast<std::ptrdiff_t>(length)),
            std::make_move_iterator(elements_.end()));
        elements_.resize(length);
        const std::size_t count = removed.size();
        releaseSlots(std::move(removed));
        return KLVPChargeWork(count, error);
    }
    if (!grow(length - elements_.size(), error)) return false;
    elements_.resize(length, emptyValue());
    return true;
}

bool KLVPArrayValue::setValueForProperty(const KLVPValue& key, KLVPValue value,
                                         platform::Error* error) {
    if (isLengthKey(key)) {
        double length = 0;
        if (!KLVPIsArrayIndex(*value, &length))
            return KLVPSetScriptError(error, kKLVPErrorInvalidLength);
        if (length > static_cast<double>(kKLVPMaxArrayLength))
            return KLVPSetScriptError(error, kKLVPErrorRuntimeLimit);
        return setLength(static_cast<std::size_t>(length), error);
    }
    double index = 0;
    if (KLVPIsArrayIndex(*key, &index)) {
        if (index >= static_cast<double>(kKLVPMaxArrayLength))
            return KLVPSetScriptError(error, kKLVPErrorRuntimeLimit);
        const auto slot = static_cast<std::size_t>(index);
        if (slot >= elements_.size() && !setLength(slot + 1, error)) return false;
        KLVPRelease(std::exchange(elements_[slot], std::move(value)));
        return true;
    }
    const KLVPTextForm name(key, error);
    if (KLVPFailed(error)) return false;
    if (propertyMap_.setValue(std::move(value), name.view()))
        return KLVPChargeMemory(KLVPPropertyBytes(name.view().size()), error);
    return true;
}

KLVPValue KLVPArrayValue::valueForProperty(const KLVPValue& key, platform::Error* error) const {
    if (isLengthKey(key)) return KLVPNumberValue::make(static_cast<double>(elements_.size()));
    double index = 0;
    if (KLVPIsArrayIndex(*key, &index)) {
        if (index >= static_cast<double>(elements_.size())) return KLVPUndefined();
        const KLVPValue& slot = elements_[static_cast<std::size_t>(index)];
        return slot->kind() == KLVPValueKind::Hole ? KLVPUndefined() : slot;
    }
    const KLVPTextForm name(key, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return propertyMap_.valueForName(name.view());
}

bool KLVPArrayValue::removeValueForProperty(const KLVPValue& key, platform::Error* error) {
    double index = 0;
    if (KLVPIsArrayIndex(*key, &index)) {
        if (index < static_cast<double>(elements_.size()))
            KLVPRelease(std::exchange(elements_[static_cast<std::size_t>(index)], emptyValue()));
        return true;
    }
    const KLVPTextForm name(key, error);
    if (KLVPFailed(error)) return false;
    propertyMap_.removeValueForName(name.view());
    return true;
}

bool KLVPArrayValue::hasProperty(const KLVPValue& key, platform::Error* error) const {
    double index = 0;
    if (KLVPIsArrayIndex(*key, &index)) {
        return index < static_cast<double>(elements_.size()) &&
               elements_[static_cast<std::size_t>(index)]->kind() != KLVPValueKind::Hole;
    }
    const KLVPTextForm name(key, error);
    return !KLVPFailed(error) && propertyMap_.hasName(name.view());
}

KLVPValues KLVPArrayValue::allPropertyNames(platform::Error* error) const {
    KLVPValues names;
    propertyMap_.forEachEntry([&](const std::u16string& name, const KLVPValue&) {
        names.push_back(KLVPStringValue::make(name));
    });
    for (std::size_t i = 0; i < elements_.size(); ++i) {
        if (elements_[i]->kind() == KLVPValueKind::Hole) continue;
        names.push_back(KLVPStringValue::make(KLVPUTF16FromASCII(std::to_string(i)), error));
        if (KLVPFailed(error)) return {};
    }
    return names;
}

// Slot operations.

KLVPValues KLVPArrayValue::allElements() const {
    KLVPValues out = elements_;
    for (KLVPValue& slot : out) {
        if (slot->kind() == KLVPValueKind::Hole) slot = KLVPUndefined();
    }
    return out;
}

KLVPValues KLVPArrayValue::subarrayWithRange(std::int64_t start, std::int64_t length) const {
    const std::size_t first = clampIndex(start, elements_.size());
    const std::size_t count = clampIndex(length, elements_.size() - first);
    return KLVPValues(elements_.begin() + static_cast<std::ptrdiff_t>(first),
                      elements_.begin() + static_cast<std::ptrdiff_t>(first + count));
}

std::optional<KLVPValues> KLVPArrayValue::spliceFrom(std::int64_t start, std::int64_t deleteCount,
                                                     std::span<const KLVPValue> values,
                                                     platform::Error* error) {
    const std::size_t first = clampIndex(start, elements_.size());
    const std::size_t count = clampIndex(deleteCount, elements_.size() - first);
    if (values.size() > count && !grow(values.size() - count, error)) return std::nullopt;
    if (!KLVPChargeWork(elements_.size() + values.size(), error)) return std::nullopt;
    const auto begin = elements_.begin() + static_cast<std::ptrdiff_t>(first);
    KLVPValues removed(std::make_move_iterator(begin),
                       std::make_move_iterator(begin + static_cast<std::ptrdiff_t>(count)));
    elements_.erase(begin, begin + static_cast<std::ptrdiff_t>(count));
    elements_.insert(elements_.begin() + static_cast<std::ptrdiff_t>(first), values.begin(),
                     values.end());
    return removed;
}

bool KLVPArrayValue::concat(const KLVPValue& value, platform::Error* error) {
    if (value->kind() == KLVPValueKind::Control)
        return KLVPSetScriptError(error, kKLVPErrorArgumentKind);
    if (value->kind() != KLVPValueKind::Array)
        return appendElements({&value, 1}, error).has_value();
    // A copy first: the array may be concatenated to itself.
    const KLVPValues slots = static_cast<const KLVPArrayValue&>(*value).elements_;
    return appendElements(slots, error).has_value();
}

void KLVPArrayValue::reverse() {
    std::reverse(elements_.begin(), elements_.end());
}

KLVPValue KLVPArrayValue::removeFirstElement() {
    if (elements_.empty()) return KLVPUndefined();
    KLVPValue first = std::move(elements_.front());
    elements_.erase(elements_.begin());
    return first->kind() == KLVPValueKind::Hole ? KLVPUndefined() : first;
}

KLVPValue KLVPArrayValue::removeLastElement() {
    if (elements_.empty()) return KLVPUndefined();
    KLVPValue last = std::move(elements_.back());
    elements_.pop_back();
    return last->kind() == KLVPValueKind::Hole ? KLVPUndefined() : last;
}

std::optional<std::size_t> KLVPArrayValue::appendElements(std::span<const KLVPValue> values,
                                                          platform::Error* error) {
    if (!grow(values.size(), error)) return std::nullopt;
    elements_.insert(elements_.end(), values.begin(), values.end());
    return elements_.size();
}

std::optional<std::size_t> KLVPArrayValue::prependElements(std::span<const KLVPValue> values,
                                                           platform::Error* error) {
    if (!grow(values.size(), error) || !KLVPChargeWork(elements_.size(), error))
        return std::nullopt;
    elements_.insert(elements_.begin(), values.begin(), values.end());
    return elements_.size();
}

std::int64_t KLVPArrayValue::indexOfValue(const KLVPValue& value, std::int64_t fromIndex,
                                          platform::Error* error) const {
    const std::size_t first = clampIndex(fromIndex, elements_.size());
    std::size_t i = first;
    for (; i < elements_.size(); ++i) {
        if (KLVPStrictEquals(elements_[i], value, error) || KLVPFailed(error)) break;
    }
    if (!KLVPChargeWork(i - first, error) || KLVPFailed(error)) return -1;
    return i < elements_.size() ? static_cast<std::int64_t>(i) : -1;
}

std::int64_t KLVPArrayValue::lastIndexOfValue(const KLVPValue& value, std::int64_t fromIndex,
                                              platform::Error* error) const {
    if (fromIndex < 0 || elements_.empty()) return -1;
    const std::size_t last = std::min(static_cast<std::size_t>(fromIndex), elements_.size() - 1);
    std::int64_t found = -1;
    std::size_t visited = 0;
    for (std::size_t i = last + 1; i-- > 0;) {
        ++visited;
        if (KLVPStrictEquals(elements_[i], value, error) || KLVPFailed(error)) {
            found = static_cast<std::int64_t>(i);
            break;
        }
    }
    if (!KLVPChargeWork(visited, error) || KLVPFailed(error)) return -1;
    return found;
}

// Calls, equality, collection.

KLVPValue KLVPArrayValue::applyWithName(std::u16string_view name,
                                        std::span<const KLVPValue> arguments, KLVPScope& scope,
                                        platform::Error* error) {
    if (const KLVPValue* property = propertyMap_.find(name))
        return KLVPCallMethodProperty(*property, arguments, scope, error);
    return KLVPArrayCommandEvaluator::sharedInstance().evaluateCommand(name, *this, arguments,
                                                                       scope, error);
}

bool KLVPArrayValue::equals(const KLVPRuntimeValue& other, int depth) const {
    if (this == &other) return true;
    if (other.kind() != KLVPValueKind::Array || depth > kMaxNestingDepth) return false;
    const auto& theirs = static_cast<const KLVPArrayValue&>(other);
    if (theirs.elements_.size() != elements_.size()) return false;
    for (std::size_t i = 0; i < elements_.size(); ++i) {
        if (!elements_[i]->equals(*theirs.elements_[i], depth + 1)) return false;
    }
    return true;
}

void KLVPArrayValue::markChildren(KLVPMarkList& list) const {
    propertyMap_.mark(list);
    // The room it holds: a long array cut short keeps its slots' memory.
    list.countBytes(kKLVPSlotBytes * elements_.capacity());
    for (const KLVPValue& slot : elements_)
        list.markValue(slot);
}

void KLVPArrayValue::sweep() {
    propertyMap_.removeAll();
    releaseSlots(std::move(elements_));
    elements_.clear();
}

}  // namespace engine
