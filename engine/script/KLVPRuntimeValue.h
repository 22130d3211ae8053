#pragma once

// The values of the rule runtime. Every datum a program touches is a KLVPRuntimeValue; its string,
// number and boolean forms, its method calls and its equality are the language's semantics, and
// the rest of the runtime only calls these operations.
//
// Values are shared and never null. Undefined, null, true, false, break, continue and the array
// hole are one instance each; numbers, strings, statements and return signals are immutable and
// made freely. Maps, functions and arrays are the objects: mutable, tracked by the collector of
// their runtime, and the only values that are ever marked.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/script/KLVPScriptError.h"
#include "platform/foundation/Error.h"

namespace engine {

class KLVPRuntimeValue;
class KLVPScope;
class KLVPMarkList;

using KLVPValue = std::shared_ptr<KLVPRuntimeValue>;  // never null
using KLVPValues = std::vector<KLVPValue>;

enum class KLVPValueKind : std::uint8_t {
    Undefined,
    Null,
    Boolean,
    Number,
    String,
    Map,
    Function,
    Array,
    Statement,
    Control,
    Hole,
};

class KLVPRuntimeValue : public std::enable_shared_from_this<KLVPRuntimeValue> {
  public:
    virtual ~KLVPRuntimeValue() = default;
    KLVPRuntimeValue(const KLVPRuntimeValue&) = delete;
    KLVPRuntimeValue& operator=(const KLVPRuntimeValue&) = delete;

    KLVPValueKind kind() const { return kind_; }
    // Maps, functions and arrays.
    bool isObject() const {
        return kind_ == KLVPValueKind::Map || kind_ == KLVPValueKind::Function ||
               kind_ == KLVPValueKind::Array;
    }

    // The forms; a value without one fails with script error 5, 4 or 3 and answers "", NaN or
    // false.
    virtual std::u16string stringValueOrError(platform::Error* error) const;
    virtual double doubleValueOrError(platform::Error* error) const;
    [[nodiscard]] virtual bool booleanValueOrError(platform::Error* error) const;

    // A method call with unevaluated arguments: "toString" gives the string form, any other name
    // script error 17.
    virtual KLVPValue applyWithName(std::u16string_view name, std::span<const KLVPValue> arguments,
                                    KLVPScope& scope, platform::Error* error);

    // Equality of the value classes (identity unless a class says otherwise). Nesting deeper than
    // the entity depth answers false, so self-referencing objects compare in bounded time.
    bool isEqualToRuntimeValue(const KLVPRuntimeValue& other) const { return equals(other, 0); }
    virtual bool equals(const KLVPRuntimeValue& other, int depth) const;

    // The collector: an object pushes the values and scopes it holds; sweep() drops them.
    virtual void markChildren(KLVPMarkList& list) const;
    virtual void sweep() {}

  protected:
    explicit KLVPRuntimeValue(KLVPValueKind kind) : kind_(kind) {}

  private:
    friend class KLVPMarkList;
    const KLVPValueKind kind_;
    mutable std::uint64_t markEpoch_ = 0;
};

class KLVPUndefinedValue final : public KLVPRuntimeValue {
  public:
    static const KLVPValue& sharedInstance();
    std::u16string stringValueOrError(platform::Error* error) const override;
    double doubleValueOrError(platform::Error* error) const override;
    [[nodiscard]] bool booleanValueOrError(platform::Error* error) const override;
    KLVPValue applyWithName(std::u16string_view name, std::span<const KLVPValue> arguments,
                            KLVPScope& scope, platform::Error* error) override;
    bool equals(const KLVPRuntimeValue& other, int depth) const override;
    KLVPUndefinedValue() : KLVPRuntimeValue(KLVPValueKind::Undefined) {}
};

class KLVPNullValue final : public KLVPRuntimeValue {
  public:
    static const KLVPValue& sharedInstance();
    std::u16string stringValueOrError(platform::Error* error) const override;
    double doubleValueOrError(platform::Error* error) const override;
    [[nodiscard]] bool booleanValueOrError(platform::Error* error) const override;
    KLVPValue applyWithName(std::u16string_view name, std::span<const KLVPValue> arguments,
                            KLVPScope& scope, platform::Error* error) override;
    bool equals(const KLVPRuntimeValue& other, int depth) const override;
    KLVPNullValue() : KLVPRuntimeValue(KLVPValueKind::Null) {}
};

class KLVPBooleanValue final : public KLVPRuntimeValue {
  public:
    static const KLVPValue& booleanValueWithBool(bool value);
    bool value() const { return value_; }
    std::u16string stringValueOrError(platform::Error* error) const override;
    double doubleValueOrError(platform::Error* error) const override;
    [[nodiscard]] bool booleanValueOrError(platform::Error* error) const override;
    bool equals(const KLVPRuntimeValue& other, int depth) const override;
    explicit KLVPBooleanValue(bool value)
        : KLVPRuntimeValue(KLVPValueKind::Boolean), value_(value) {}

  private:
    const bool value_;
};

class KLVPNumberValue final : public KLVPRuntimeValue {
  public:
    explicit KLVPNumberValue(double value)
        : KLVPRuntimeValue(KLVPValueKind::Number), value_(value) {}
    static KLVPValue make(double value) { return std::make_shared<KLVPNumberValue>(value); }
    double value() const { return value_; }
    std::u16string stringValueOrError(platform::Error* error) const override;
    double doubleValueOrError(platform::Error* error) const override;
    [[nodiscard]] bool booleanValueOrError(platform::Error* error) const override;
    // NaN equals NaN here (unlike strict equality).
    bool equals(const KLVPRuntimeValue& other, int depth) const override;

  private:
    const double value_;
};

class KLVPStringValue final : public KLVPRuntimeValue {
  public:
    explicit KLVPStringValue(std::u16string value)
        : KLVPRuntimeValue(KLVPValueKind::String), value_(std::move(value)) {}
    // A new string value, its bytes charged to the run under way (KLVPBudget.h).
    static KLVPValue make(std::u16string value);
    // The same, or script error 19 when the text is longer than kKLVPMaxTextLength, or 18 or 19
    // when the run is past its limits.
    static KLVPValue make(std::u16string value, platform::Error* error);
    const std::u16string& value() const { return value_; }
    // The string methods.
    KLVPValue applyWithName(std::u16string_view name, std::span<const KLVPValue> arguments,
                            KLVPScope& scope, platform::Error* error) override;
    std::u16string stringValueOrError(platform::Error* error) const override;
    double doubleValueOrError(platform::Error* error) const override;
    [[nodiscard]] bool booleanValueOrError(platform::Error* error) const override;
    bool equals(const KLVPRuntimeValue& other, int depth) const override;

  private:
    const std::u16string value_;
};

// The signals that leave loops, switches and functions. Break and continue are shared and
// recognised by identity; each return is new and carries its data.
class KLVPControlValue final : public KLVPRuntimeValue {
  public:
    enum class Type : std::uint8_t { Break, Continue, Return };
    KLVPControlValue(Type type, KLVPValue data);

    static const KLVPValue& breakValue();
    static const KLVPValue& continueValue();
    // A missing value (null pointer) is stored as undefined.
    static KLVPValue returnValueWithData(KLVPValue data);

    Type type() const { return type_; }
    // "break", "continue" or "return".
    std::string_view typeName() const;
    const KLVPValue& data() const { return data_; }
    bool equals(const KLVPRuntimeValue& other, int depth) const override;

  private:
    const Type type_;
    const KLVPValue data_;
};

// A named call with unevaluated arguments: an opcode (resolved once, at conversion, from the
// exact decimal spelling "0" to "66") or the name of a function in scope.
class KLVPStatementValue final : public KLVPRuntimeValue {
  public:
    static constexpr int kNoOpcode = -1;
    KLVPStatementValue(std::u16string functionName, KLVPValues arguments);

    const std::u16string& functionName() const { return functionName_; }
    int opcode() const { return opcode_; }
    const KLVPValues& arguments() const { return arguments_; }
    bool equals(const KLVPRuntimeValue& other, int depth) const override;

    // The opcode a name spells exactly, or kNoOpcode.
    static int opcodeForName(std::u16string_view name);

  private:
    const std::u16string functionName_;
    const int opcode_;
    const KLVPValues arguments_;
};

// One pass of the collector's marking: objects, texts and numbers are marked once per pass, scopes
// visited once with their parents, and the walk keeps its own list so that deep object graphs
// never deepen the C++ stack. On the way it counts the bytes of what it reached, as the memory
// limit counts them (KLVPBudget.h), each value once however many hold it.
class KLVPMarkList {
  public:
    // With `recordObjects`, the objects reached are listed too (reachedObjects()).
    explicit KLVPMarkList(std::uint64_t epoch, bool recordObjects = false)
        : epoch_(epoch), recordObjects_(recordObjects) {}
    std::uint64_t epoch() const { return epoch_; }
    static bool isMarked(const KLVPRuntimeValue& value, std::uint64_t epoch) {
        return value.markEpoch_ == epoch;
    }

    void markValue(const KLVPValue& value);
    // The scope's bindings and those of every parent.
    void markScope(const KLVPScope* scope);
    // Marks what the marked objects hold, until nothing is left.
    void drain();

    // What a marked value holds beside the values it marks (slots, properties).
    void countBytes(std::size_t bytes) { bytes_ += bytes; }
    std::size_t bytes() const { return bytes_; }
    const std::vector<KLVPRuntimeValue*>& reachedObjects() const { return reached_; }

  private:
    const std::uint64_t epoch_;
    const bool recordObjects_;
    std::size_t bytes_ = 0;
    std::vector<const KLVPRuntimeValue*> pending_;
    std::vector<KLVPRuntimeValue*> reached_;
    std::unordered_set<const KLVPScope*> scopes_;
};

// Lets go of a reference without recursion: when the last reference of an object goes while
// another release is running on this thread, what the object holds is released by that release's
// loop, so a long chain of objects never deepens the stack.
void KLVPRelease(std::shared_ptr<const void> reference);

// Shorthands.
inline const KLVPValue& KLVPUndefined() {
    return KLVPUndefinedValue::sharedInstance();
}
// Sets script error `code` into `error` and answers undefined: a failing evaluation in one return.
inline const KLVPValue& KLVPFail(platform::Error* error, std::int64_t code) {
    KLVPSetScriptError(error, code);
    return KLVPUndefined();
}
inline const KLVPValue& KLVPNull() {
    return KLVPNullValue::sharedInstance();
}
inline const KLVPValue& KLVPBoolean(bool value) {
    return KLVPBooleanValue::booleanValueWithBool(value);
}

// Helper routines of every opcode family.

// An array, function, map or string value.
bool KLVPIsObjectLike(const KLVPRuntimeValue& value);
// A number or string value whose number is finite, not negative and whole; `index` receives it.
bool KLVPIsArrayIndex(const KLVPRuntimeValue& value, double* index = nullptr);
// NaN and the infinities give 0; otherwise truncated toward zero and reduced modulo 2^32, as a
// two's-complement pattern (the two names are one routine; callers read it signed or unsigned).
std::uint32_t KLVPToUint32(double value);
std::uint32_t KLVPToInt32(double value);
// NaN gives 0; zeros and infinities stay; anything else is truncated toward zero.
double KLVPToInteger(double value);
// A double to a 64-bit integer, saturating at the ends; NaN gives 0.
std::int64_t KLVPSaturatingInt64(double value);
// NaN differs from everything, itself included.
bool KLVPNumbersEqual(double a, double b);
// Texts are compared unit by unit, as bulk work of the run under way (a failed charge answers
// false, or 1, with the error set).
[[nodiscard]] bool KLVPStringsEqual(std::u16string_view a, std::u16string_view b,
                                    platform::Error* error = nullptr);
// -1, 0 or 1 by UTF-16 units.
int KLVPCompareStrings(std::u16string_view a, std::u16string_view b, platform::Error* error);

// A value's text for reading: a string value's own text, borrowed (the value must outlive the
// form), or the converted text of any other value; a failed conversion sets the error.
class KLVPTextForm {
  public:
    KLVPTextForm(const KLVPValue& value, platform::Error* error);
    std::u16string_view view() const;

  private:
    const KLVPStringValue* string_ = nullptr;
    std::u16string converted_;
};
// Same class, then numbers and booleans by number (NaN unequal), strings by text, all else by
// identity; a failing form sets the error and answers false.
[[nodiscard]] bool KLVPStrictEquals(const KLVPValue& a, const KLVPValue& b, platform::Error* error);

}  // namespace engine
