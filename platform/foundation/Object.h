#pragma once

// The one dynamic value of the platform layer. User defaults, property lists, JSON, notification
// payloads, the engine's public interface and the script runtime all exchange values of this type.

#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

class Object;

// Arrays keep insertion order; dictionaries are ordered by key in byte order, so that every
// enumeration (and every serialised form) is deterministic.
using Array = std::vector<Object>;
using Dictionary = std::map<std::string, Object, std::less<>>;
using Data = std::vector<std::uint8_t>;

// A point in time as seconds since 1970-01-01T00:00:00Z.
struct Date {
    double secondsSince1970 = 0;
    friend bool operator==(const Date&, const Date&) = default;
};

class Object {
  public:
    enum class Type { Null, Bool, Integer, Double, String, Data, Date, Array, Dictionary };

    Object() = default;
    Object(std::nullptr_t) {}
    Object(bool v) : value_(v) {}
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                               !std::is_same_v<T, char>,
                                           int> = 0>
    Object(T v) : value_(static_cast<std::int64_t>(v)) {}
    Object(double v) : value_(v) {}
    Object(float v) : value_(static_cast<double>(v)) {}
    Object(const char* v) : value_(std::string(v)) {}
    Object(std::string v) : value_(std::move(v)) {}
    Object(std::string_view v) : value_(std::string(v)) {}
    Object(platform::Data v) : value_(std::move(v)) {}
    Object(platform::Date v) : value_(v) {}
    Object(platform::Array v) : value_(Box<platform::Array>(std::move(v))) {}
    Object(platform::Dictionary v) : value_(Box<platform::Dictionary>(std::move(v))) {}

    // Builds a dictionary from key-value pairs: Object::dict({{"a", 1}, {"b", "x"}}).
    static Object dict(std::initializer_list<std::pair<const std::string, Object>> items);
    // Builds an array: Object::array({1, "x", true}).
    static Object array(std::initializer_list<Object> items);

    Type type() const { return static_cast<Type>(value_.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    bool isInteger() const { return type() == Type::Integer; }
    bool isDouble() const { return type() == Type::Double; }
    // Bool, integer or double: what the phone carries in a number object.
    bool isNumber() const { return isBool() || isInteger() || isDouble(); }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Typed access: a pointer to the held value, or null when the kind differs.
    const bool* getBool() const { return std::get_if<bool>(&value_); }
    const std::int64_t* getInteger() const { return std::get_if<std::int64_t>(&value_); }
    const double* getDouble() const { return std::get_if<double>(&value_); }
    const std::string* getString() const { return std::get_if<std::string>(&value_); }
    const platform::Data* getData() const { return std::get_if<platform::Data>(&value_); }
    const platform::Date* getDate() const { return std::get_if<platform::Date>(&value_); }
    const platform::Array* getArray() const;
    const platform::Dictionary* getDictionary() const;
    platform::Array* getArray();
    platform::Dictionary* getDictionary();

    // Checked access for code that has already tested the kind; throws std::bad_variant_access
    // otherwise.
    bool asBool() const { return std::get<bool>(value_); }
    std::int64_t asInteger() const { return std::get<std::int64_t>(value_); }
    double asDouble() const { return std::get<double>(value_); }
    const std::string& asString() const { return std::get<std::string>(value_); }
    const platform::Data& asData() const { return std::get<platform::Data>(value_); }
    platform::Date asDate() const { return std::get<platform::Date>(value_); }
    const platform::Array& asArray() const;
    const platform::Dictionary& asDictionary() const;

    // Numeric view of a bool, integer or double (the phone's number object); nullopt otherwise.
    std::optional<double> numberAsDouble() const;
    // Integer view: integers as they are, bools as 0/1, doubles truncated when finite and in
    // range; nullopt otherwise.
    std::optional<std::int64_t> numberAsInteger() const;

    // Dictionary lookup; a shared null object when this is not a dictionary or the key is absent.
    const Object& operator[](std::string_view key) const;
    // Array element; a shared null object when out of range or not an array.
    const Object& operator[](std::size_t index) const;
    // Element count of an array or dictionary, 0 for anything else.
    std::size_t count() const;

    // A readable, deterministic rendering for logs and test failures.
    std::string description() const;

    // Same kind and equal value, deeply. Bool, integer and double are different kinds.
    friend bool operator==(const Object& a, const Object& b);

    static const Object& null();

  private:
    // Arrays and dictionaries hold Objects, so they are boxed: a deep-copying owner that breaks
    // the recursive definition.
    template <typename T>
    class Box {
      public:
        explicit Box(T v) : p_(std::make_unique<T>(std::move(v))) {}
        Box(const Box& o) : p_(o.p_ ? std::make_unique<T>(*o.p_) : nullptr) {}
        Box(Box&&) noexcept = default;
        Box& operator=(const Box& o) {
            if (this != &o) p_ = o.p_ ? std::make_unique<T>(*o.p_) : nullptr;
            return *this;
        }
        Box& operator=(Box&&) noexcept = default;
        // A moved-from box reads as empty, so a moved-from Object stays safe to use.
        T& get() {
            if (!p_) p_ = std::make_unique<T>();
            return *p_;
        }
        const T& get() const {
            static const T kEmpty;
            return p_ ? *p_ : kEmpty;
        }

      private:
        std::unique_ptr<T> p_;
    };

    std::variant<std::monostate, bool, std::int64_t, double, std::string, platform::Data,
                 platform::Date, Box<platform::Array>, Box<platform::Dictionary>>
        value_;
};

// Lets GoogleTest print Objects in failure messages (the description), and dates and kinds as
// descriptions show them ("@1700000000.5", "dictionary").
void PrintTo(const Object& object, std::ostream* os);
void PrintTo(const Date& date, std::ostream* os);
void PrintTo(Object::Type type, std::ostream* os);

// Name of a kind, for error texts ("dictionary", "integer", ...).
const char* typeName(Object::Type type);

}  // namespace platform
