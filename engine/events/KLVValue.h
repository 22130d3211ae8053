#pragma once

// The engine's one value type for event parameters, user-property values and conditional
// user-property values: a double, a 64-bit integer, a string or an array. Values arriving from the
// app as objects are turned into KLVValue at the edges, and back into objects where a component
// outside the engine's model needs them. A value is immutable; copies share the held object.
//
// Equality is symmetric: two values are equal when they are of the same kind and hold equal
// objects (an int64 1 and a double 1.0 differ). The hash agrees with it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Object.h"

namespace engine {

// The kinds; the numbers are part of the hash.
enum KLVValueType : std::int64_t {
    KLVValueTypeDouble = 0,
    KLVValueTypeInt64 = 1,
    KLVValueTypeString = 2,
    KLVValueTypeArray = 3,
};

class KLVValue {
  public:
    // Builds a value from an object: a string, a number (a Boolean or integer becomes int64, a
    // double stays a double) or, when `allowArray`, an array. Null, dictionaries, dates, bytes
    // and refused arrays are logged and give nullopt.
    static std::optional<KLVValue> valueFromObject(const platform::Object& object,
                                                   bool allowArray = false);
    // An existing value is taken as it is.
    static const KLVValue& valueFromObject(const KLVValue& value) { return value; }

    static KLVValue initWithDouble(double value);
    static KLVValue initWithInt64(std::int64_t value);
    static KLVValue initWithString(std::string value);
    static KLVValue initWithString(const char* value) { return initWithString(std::string(value)); }
    // From an object that must be a string; null or another kind is logged and gives nullopt.
    static std::optional<KLVValue> initWithString(const platform::Object& object);
    // Array elements are objects; an item dictionary (parameter name to value) is kept as a
    // dictionary object whose values convert back with valueFromObject().
    static KLVValue initWithArray(platform::Array elements);
    // From an object that must be an array; null or another kind is logged and gives nullopt.
    static std::optional<KLVValue> initWithArray(const platform::Object& object);
    // Stores both unchanged, without checks.
    static KLVValue initWithValueType(KLVValueType valueType, platform::Object value);

    KLVValueType valueType() const { return valueType_; }
    bool isDouble() const { return valueType_ == KLVValueTypeDouble; }
    bool isInt64() const { return valueType_ == KLVValueTypeInt64; }
    bool isString() const { return valueType_ == KLVValueTypeString; }
    bool isArray() const { return valueType_ == KLVValueTypeArray; }

    // Typed getters never convert between kinds: the wrong kind gives 0, 0.0 or null.
    double doubleValue() const;
    std::int64_t int64Value() const;
    const std::string* stringValue() const;
    const platform::Array* arrayValue() const;

    // The held object.
    const platform::Object& value() const { return *value_; }
    // The held object's description; a string prints as itself, without quotes.
    std::string description() const;

    friend bool operator==(const KLVValue& a, const KLVValue& b);
    std::size_t hash() const;

  private:
    KLVValue(KLVValueType valueType, platform::Object value);

    KLVValueType valueType_;
    std::shared_ptr<const platform::Object> value_;
};

// Parameter name to value, as events and items carry them.
using KLVParameters = std::map<std::string, KLVValue, std::less<>>;

// Lets GoogleTest print values in failure messages: the held object's description, so that an
// int64 1 ("1"), a double 1.0 ("1.0") and a string "1" ("\"1\"") print apart.
void PrintTo(const KLVValue& value, std::ostream* os);

}  // namespace engine

template <>
struct std::hash<engine::KLVValue> {
    std::size_t operator()(const engine::KLVValue& value) const { return value.hash(); }
};
