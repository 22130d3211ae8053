#pragma once

// The list type of the rule programs: slots that may be holes, plus named properties. Arrays also
// carry statement lists (loop bodies, branches).
//
// A key that is the text "length" reads or sets the length; a key that is an array index
// addresses a slot; any other key names a property by its string form.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/script/KLVPPropertyMap.h"
#include "engine/script/KLVPRuntimeValue.h"

namespace engine {

// The most slots an array may have.
inline constexpr std::size_t kKLVPMaxArrayLength = std::size_t{1} << 20;

class KLVPArrayValue : public KLVPRuntimeValue {
  public:
    KLVPArrayValue() : KLVPRuntimeValue(KLVPValueKind::Array) {}
    // The caller keeps to kKLVPMaxArrayLength (the object manager's factory checks it).
    explicit KLVPArrayValue(KLVPValues elements)
        : KLVPRuntimeValue(KLVPValueKind::Array), elements_(std::move(elements)) {}
    ~KLVPArrayValue() override;

    // The hole marker; every read of a hole yields undefined.
    static const KLVPValue& emptyValue();

    // The slots' texts joined (holes, undefined and null as empty text); the first failing form
    // ends it with that error. Arrays inside are joined with ","; one nested deeper than
    // kKLVPMaxConversionDepth, or one that holds itself, ends it with script error 19.
    std::u16string stringValueWithSeparator(std::u16string_view separator,
                                            platform::Error* error) const;
    // Joined with ",".
    std::u16string stringValueOrError(platform::Error* error) const override;
    // The joined text read as a number.
    double doubleValueOrError(platform::Error* error) const override;
    // Always true.
    [[nodiscard]] bool booleanValueOrError(platform::Error* error) const override;

    // Shorter removes trailing slots, longer appends holes; script error 19 beyond the limit
    // (of slots or of the run's memory).
    [[nodiscard]] bool setLength(std::size_t length, platform::Error* error);
    std::size_t count() const { return elements_.size(); }

    [[nodiscard]] bool setValueForProperty(const KLVPValue& key, KLVPValue value,
                                           platform::Error* error);
    KLVPValue valueForProperty(const KLVPValue& key, platform::Error* error) const;
    [[nodiscard]] bool removeValueForProperty(const KLVPValue& key, platform::Error* error);
    [[nodiscard]] bool hasProperty(const KLVPValue& key, platform::Error* error) const;
    // Named properties first (in the order they were set), then the indexes of the slots that
    // are not holes, ascending, as texts; made as the run's memory allows (else script error 19).
    KLVPValues allPropertyNames(platform::Error* error = nullptr) const;

    // The slots as they are (holes included).
    const KLVPValues& elements() const { return elements_; }
    // A copy of the slots with every hole as undefined.
    KLVPValues allElements() const;
    // The slots from `start` (clamped to 0 to length), at most `length` of them; holes stay.
    KLVPValues subarrayWithRange(std::int64_t start, std::int64_t length) const;

    // Removes deleteCount slots at start (both clamped) and inserts the values there; the
    // removed slots, or nullopt with script error 19 when the array would grow beyond the limit.
    std::optional<KLVPValues> spliceFrom(std::int64_t start, std::int64_t deleteCount,
                                         std::span<const KLVPValue> values, platform::Error* error);
    // Appends an array's slots (one level) or the value itself; a control value is script error
    // 10.
    [[nodiscard]] bool concat(const KLVPValue& value, platform::Error* error);
    void reverse();
    // The removed slot's value; undefined when empty or a hole.
    KLVPValue removeFirstElement();
    KLVPValue removeLastElement();
    // The new length, or nullopt with script error 19 beyond the limit.
    std::optional<std::size_t> appendElements(std::span<const KLVPValue> values,
                                              platform::Error* error);
    std::optional<std::size_t> prependElements(std::span<const KLVPValue> values,
                                               platform::Error* error);
    // The first index at or after `fromIndex` (the last at or before it) whose slot strictly
    // equals the value, else -1.
    std::int64_t indexOfValue(const KLVPValue& value, std::int64_t fromIndex,
                              platform::Error* error) const;
    std::int64_t lastIndexOfValue(const KLVPValue& value, std::int64_t fromIndex,
                                  platform::Error* error) const;

    // A named property holding a function is called; the array methods otherwise.
    KLVPValue applyWithName(std::u16string_view name, std::span<const KLVPValue> arguments,
                            KLVPScope& scope, platform::Error* error) override;
    // The same array, or one of the same length with pairwise equal slots.
    bool equals(const KLVPRuntimeValue& other, int depth) const override;
    void markChildren(KLVPMarkList& list) const override;
    void sweep() override;

  private:
    // Room for `added` more slots: within kKLVPMaxArrayLength, made and copied by the run.
    [[nodiscard]] bool grow(std::size_t added, platform::Error* error) const;
    void releaseSlots(KLVPValues slots);

    KLVPPropertyMap propertyMap_;
    KLVPValues elements_;
};

// The 21 array methods, called by name.
class KLVPArrayCommandEvaluator {
  public:
    static const KLVPArrayCommandEvaluator& sharedInstance();

    // An unknown name fails with script error 17 before anything runs; otherwise the arguments are
    // evaluated in order and the method runs on the array.
    KLVPValue evaluateCommand(std::u16string_view name, KLVPArrayValue& array,
                              std::span<const KLVPValue> arguments, KLVPScope& scope,
                              platform::Error* error) const;
};

}  // namespace engine
