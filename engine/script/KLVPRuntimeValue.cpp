#include "engine/script/KLVPRuntimeValue.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/messages/MessageCodec.h"
#include "engine/script/KLVPBudget.h"
#include "engine/script/KLVPScope.h"
#include "engine/script/KLVPScriptError.h"
#include "engine/script/KLVPText.h"
#include "platform/foundation/NoDestructor.h"

namespace engine {

bool KLVPSetScriptError(platform::Error* error, std::int64_t code) {
    if (!error) return false;
    error->domain = kKLVPScriptErrorDomain;
    error->code = code;
    error->description = code == kKLVPErrorRuntimeLimit ? "runtime limit" : "";
    error->userInfo.clear();
    return false;
}

bool KLVPSetMemoryLimitError(platform::Error* error) {
    KLVPSetScriptError(error, kKLVPErrorRuntimeLimit);
    if (error) error->description = "memory limit";
    return false;
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The shared instances live for the process: other threads may still use them while it exits.
#define KLVP_SHARED_VALUE(...)                                    \
    static platform::NoDestructor<KLVPValue> shared(__VA_ARGS__); \
    return shared.get()

}  // namespace

// Base behaviour.

std::u16string KLVPRuntimeValue::stringValueOrError(platform::Error* error) const {
    KLVPSetScriptError(error, kKLVPErrorNoStringForm);
    return {};
}

double KLVPRuntimeValue::doubleValueOrError(platform::Error* error) const {
    KLVPSetScriptError(error, kKLVPErrorNoNumberForm);
    return kNaN;
}

bool KLVPRuntimeValue::booleanValueOrError(platform::Error* error) const {
    return KLVPSetScriptError(error, kKLVPErrorNoBooleanForm);
}

KLVPValue KLVPRuntimeValue::applyWithName(std::u16string_view name, std::span<const KLVPValue>,
                                          KLVPScope&, platform::Error* error) {
    if (name != u"toString") {
        KLVPSetScriptError(error, kKLVPErrorUnknownMethod);
        return KLVPUndefined();
    }
    std::u16string text = stringValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPStringValue::make(std::move(text));
}

bool KLVPRuntimeValue::equals(const KLVPRuntimeValue& other, int) const {
    return this == &other;
}

void KLVPRuntimeValue::markChildren(KLVPMarkList&) const {}

// Undefined and null.

const KLVPValue& KLVPUndefinedValue::sharedInstance() {
    KLVP_SHARED_VALUE(std::make_shared<KLVPUndefinedValue>());
}
std::u16string KLVPUndefinedValue::stringValueOrError(platform::Error*) const {
    return u"undefined";
}
double KLVPUndefinedValue::doubleValueOrError(platform::Error*) const {
    return kNaN;
}
bool KLVPUndefinedValue::booleanValueOrError(platform::Error*) const {
    return false;
}
KLVPValue KLVPUndefinedValue::applyWithName(std::u16string_view, std::span<const KLVPValue>,
                                            KLVPScope&, platform::Error* error) {
    KLVPSetScriptError(error, kKLVPErrorMethodOnNullish);
    return KLVPUndefined();
}
bool KLVPUndefinedValue::equals(const KLVPRuntimeValue& other, int) const {
    return other.kind() == KLVPValueKind::Undefined;
}

const KLVPValue& KLVPNullValue::sharedInstance() {
    KLVP_SHARED_VALUE(std::make_shared<KLVPNullValue>());
}
std::u16string KLVPNullValue::stringValueOrError(platform::Error*) const {
    return u"null";
}
double KLVPNullValue::doubleValueOrError(platform::Error*) const {
    return 0;
}
bool KLVPNullValue::booleanValueOrError(platform::Error*) const {
    return false;
}
KLVPValue KLVPNullValue::applyWithName(std::u16string_view, std::span<const KLVPValue>, KLVPScope&,
                                       platform::Error* error) {
    KLVPSetScriptError(error, kKLVPErrorMethodOnNullish);
    return KLVPUndefined();
}
bool KLVPNullValue::equals(const KLVPRuntimeValue& other, int) const {
    return other.kind() == KLVPValueKind::Null;
}

// Booleans and numbers.

const KLVPValue& KLVPBooleanValue::booleanValueWithBool(bool value) {
    static platform::NoDestructor<KLVPValue> yes(std::make_shared<KLVPBooleanValue>(true));
    static platform::NoDestructor<KLVPValue> no(std::make_shared<KLVPBooleanValue>(false));
    return value ? yes.get() : no.get();
}
std::u16string KLVPBooleanValue::stringValueOrError(platform::Error*) const {
    return value_ ? u"true" : u"false";
}
double KLVPBooleanValue::doubleValueOrError(platform::Error*) const {
    return value_ ? 1 : 0;
}
bool KLVPBooleanValue::booleanValueOrError(platform::Error*) const {
    return value_;
}
bool KLVPBooleanValue::equals(const KLVPRuntimeValue& other, int) const {
    return other.kind() == KLVPValueKind::Boolean &&
           static_cast<const KLVPBooleanValue&>(other).value_ == value_;
}

std::u16string KLVPNumberValue::stringValueOrError(platform::Error*) const {
    return KLVPUTF16FromASCII(KLVPNumberText(value_));
}
double KLVPNumberValue::doubleValueOrError(platform::Error*) const {
    return value_;
}
bool KLVPNumberValue::booleanValueOrError(platform::Error*) const {
    return value_ != 0 && !std::isnan(value_);
}
bool KLVPNumberValue::equals(const KLVPRuntimeValue& other, int) const {
    if (other.kind() != KLVPValueKind::Number) return false;
    const double theirs = static_cast<const KLVPNumberValue&>(other).value_;
    return theirs == value_ || (std::isnan(theirs) && std::isnan(value_));
}

// Strings.

KLVPValue KLVPStringValue::make(std::u16string value) {
    KLVPRecordMemory(KLVPTextBytes(value.size()));
    KLVPRecordWork(value.size());
    return std::make_shared<KLVPStringValue>(std::move(value));
}
KLVPValue KLVPStringValue::make(std::u16string value, platform::Error* error) {
    if (value.size() > kKLVPMaxTextLength) {
        KLVPSetScriptError(error, kKLVPErrorRuntimeLimit);
        return KLVPUndefined();
    }
    if (!KLVPChargeMemory(KLVPTextBytes(value.size()), error) ||
        !KLVPChargeWork(value.size(), error))
        return KLVPUndefined();
    return std::make_shared<KLVPStringValue>(std::move(value));
}
std::u16string KLVPStringValue::stringValueOrError(platform::Error* error) const {
    if (!KLVPChargeWork(value_.size(), error)) return {};
    return value_;
}
double KLVPStringValue::doubleValueOrError(platform::Error* error) const {
    if (!KLVPChargeWork(value_.size(), error)) return kNaN;
    return KLVPNumberFromText(value_);
}
bool KLVPStringValue::booleanValueOrError(platform::Error*) const {
    return !value_.empty();
}
bool KLVPStringValue::equals(const KLVPRuntimeValue& other, int) const {
    return other.kind() == KLVPValueKind::String &&
           static_cast<const KLVPStringValue&>(other).value_ == value_;
}

// Control values.

KLVPControlValue::KLVPControlValue(Type type, KLVPValue data)
    : KLVPRuntimeValue(KLVPValueKind::Control),
      type_(type),
      data_(data ? std::move(data) : KLVPUndefined()) {}

const KLVPValue& KLVPControlValue::breakValue() {
    KLVP_SHARED_VALUE(std::make_shared<KLVPControlValue>(Type::Break, KLVPUndefined()));
}
const KLVPValue& KLVPControlValue::continueValue() {
    KLVP_SHARED_VALUE(std::make_shared<KLVPControlValue>(Type::Continue, KLVPUndefined()));
}
KLVPValue KLVPControlValue::returnValueWithData(KLVPValue data) {
    return std::make_shared<KLVPControlValue>(Type::Return, std::move(data));
}
std::string_view KLVPControlValue::typeName() const {
    switch (type_) {
        case Type::Break:
            return "break";
        case Type::Continue:
            return "continue";
        case Type::Return:
            break;
    }
    return "return";
}
bool KLVPControlValue::equals(const KLVPRuntimeValue& other, int depth) const {
    if (this == &other) return true;
    if (other.kind() != KLVPValueKind::Control || depth > kMaxNestingDepth) return false;
    const auto& theirs = static_cast<const KLVPControlValue&>(other);
    return theirs.type_ == type_ && data_->equals(*theirs.data_, depth + 1);
}

// Statements.

KLVPStatementValue::KLVPStatementValue(std::u16string functionName, KLVPValues arguments)
    : KLVPRuntimeValue(KLVPValueKind::Statement),
      functionName_(std::move(functionName)),
      opcode_(opcodeForName(functionName_)),
      arguments_(std::move(arguments)) {}

int KLVPStatementValue::opcodeForName(std::u16string_view name) {
    constexpr int kLastOpcode = 66;
    if (name.empty() || name.size() > 2 || (name.size() == 2 && name[0] == u'0')) return kNoOpcode;
    int opcode = 0;
    for (char16_t c : name) {
        if (c < u'0' || c > u'9') return kNoOpcode;
        opcode = opcode * 10 + (c - u'0');
    }
    return opcode <= kLastOpcode ? opcode : kNoOpcode;
}

bool KLVPStatementValue::equals(const KLVPRuntimeValue& other, int depth) const {
    if (this == &other) return true;
    if (other.kind() != KLVPValueKind::Statement || depth > kMaxNestingDepth) return false;
    const auto& theirs = static_cast<const KLVPStatementValue&>(other);
    if (theirs.functionName_ != functionName_ || theirs.arguments_.size() != arguments_.size())
        return false;
    for (std::size_t i = 0; i < arguments_.size(); ++i) {
        if (!arguments_[i]->equals(*theirs.arguments_[i], depth + 1)) return false;
    }
    return true;
}

// Marking and releasing.

void KLVPMarkList::markValue(const KLVPValue& value) {
    const KLVPRuntimeValue& reached = *value;
    if (reached.markEpoch_ == epoch_) return;
    switch (reached.kind()) {
        case KLVPValueKind::String:
            // Its text as held, room to spare included.
            bytes_ +=
                KLVPTextBytes(static_cast<const KLVPStringValue&>(reached).value().capacity());
            break;
        case KLVPValueKind::Number:
            bytes_ += kKLVPNumberBytes;
            break;
        case KLVPValueKind::Map:
        case KLVPValueKind::Function:
        case KLVPValueKind::Array:
            bytes_ += kKLVPObjectBytes;
            pending_.push_back(&reached);
            if (recordObjects_) reached_.push_back(value.get());
            break;
        default:
            // The shared instances and the program's own statements: nothing a run makes to keep,
            // and the shared ones are read by other threads.
            return;
    }
    reached.markEpoch_ = epoch_;
}

void KLVPMarkList::markScope(const KLVPScope* scope) {
    for (; scope && scopes_.insert(scope).second; scope = scope->parentScope()) {
        bytes_ += kKLVPScopeBytes;
        scope->contents().mark(*this);
    }
}

void KLVPMarkList::drain() {
    while (!pending_.empty()) {
        const KLVPRuntimeValue* value = pending_.back();
        pending_.pop_back();
        value->markChildren(*this);
    }
}

namespace {

struct ReleaseState {
    bool releasing = false;
    std::vector<std::shared_ptr<const void>> pending;
};

thread_local ReleaseState releaseState;

}  // namespace

void KLVPRelease(std::shared_ptr<const void> reference) {
    if (!reference) return;
    ReleaseState& state = releaseState;
    if (state.releasing) {
        state.pending.push_back(std::move(reference));
        return;
    }
    state.releasing = true;
    reference.reset();
    while (!state.pending.empty()) {
        std::shared_ptr<const void> next = std::move(state.pending.back());
        state.pending.pop_back();
        next.reset();
    }
    // A thread keeps no room for the largest structure it ever let go (a reloaded program's
    // whole heap, say), only for the common small ones.
    constexpr std::size_t kKeptPendingRoom = 4096;
    if (state.pending.capacity() > kKeptPendingRoom)
        std::vector<std::shared_ptr<const void>>().swap(state.pending);
    state.releasing = false;
}

// Helper routines.

bool KLVPIsObjectLike(const KLVPRuntimeValue& value) {
    return value.isObject() || value.kind() == KLVPValueKind::String;
}

bool KLVPIsArrayIndex(const KLVPRuntimeValue& value, double* index) {
    if (value.kind() != KLVPValueKind::Number && value.kind() != KLVPValueKind::String)
        return false;
    const double number = value.doubleValueOrError(nullptr);
    if (!std::isfinite(number) || number < 0 || std::trunc(number) != number) return false;
    if (index) *index = number;
    return true;
}

std::uint32_t KLVPToUint32(double value) {
    if (!std::isfinite(value)) return 0;
    const double truncated = std::trunc(value);
    double reduced = std::fmod(truncated, 4294967296.0);
    if (reduced < 0) reduced += 4294967296.0;
    return static_cast<std::uint32_t>(reduced);
}

std::uint32_t KLVPToInt32(double value) {
    return KLVPToUint32(value);
}

double KLVPToInteger(double value) {
    if (std::isnan(value)) return 0;
    if (value == 0 || std::isinf(value)) return value;
    return std::trunc(value);
}

std::int64_t KLVPSaturatingInt64(double value) {
    if (std::isnan(value)) return 0;
    // 2^63 is the first double beyond the range.
    if (value >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (value <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

bool KLVPNumbersEqual(double a, double b) {
    return a == b;
}

bool KLVPStringsEqual(std::u16string_view a, std::u16string_view b, platform::Error* error) {
    if (a.size() != b.size()) return false;
    return KLVPChargeWork(a.size(), error) && a == b;
}

int KLVPCompareStrings(std::u16string_view a, std::u16string_view b, platform::Error* error) {
    if (!KLVPChargeWork(std::min(a.size(), b.size()), error)) return 1;
    const int order = a.compare(b);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

KLVPTextForm::KLVPTextForm(const KLVPValue& value, platform::Error* error) {
    if (value->kind() == KLVPValueKind::String) {
        string_ = static_cast<const KLVPStringValue*>(value.get());
    } else {
        converted_ = value->stringValueOrError(error);
    }
}

std::u16string_view KLVPTextForm::view() const {
    return string_ ? std::u16string_view(string_->value()) : std::u16string_view(converted_);
}

bool KLVPStrictEquals(const KLVPValue& a, const KLVPValue& b, platform::Error* error) {
    if (a->kind() != b->kind()) return false;
    switch (a->kind()) {
        case KLVPValueKind::Number:
        case KLVPValueKind::Boolean: {
            const double x = a->doubleValueOrError(error);
            if (KLVPFailed(error)) return false;
            const double y = b->doubleValueOrError(error);
            return !KLVPFailed(error) && KLVPNumbersEqual(x, y);
        }
        case KLVPValueKind::String:
            return KLVPStringsEqual(static_cast<const KLVPStringValue&>(*a).value(),
                                    static_cast<const KLVPStringValue&>(*b).value(), error);
        default:
            return a == b;
    }
}

}  // namespace engine
