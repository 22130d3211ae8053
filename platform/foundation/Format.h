#pragma once

// The project's one text formatter for log lines and messages: printf-style conversions plus the
// phone's "%@" (an object's text), without depending on the C locale or on std::format (which the
// project's compiler lacks). Arguments carry their own type, so length modifiers ("l", "ll", "z")
// are accepted and ignored, and a conversion that does not match its argument still prints the
// argument in the natural way instead of reading garbage.
//
//   formatString("Block ID=%@.", blockID)               -> "Block ID=KLVMeasurement:622."
//   formatString("I-ACS%06ld", 23210)                  -> "I-ACS023210"
//   formatString("%d:%@:%@", 3, key, context)          -> "3:1E_110100000:Lost:-"
//
// Supported: %% %@ %s %c %d %i %u %x %X %o %f %F %e %E %g %G with the flags "-", "0", "+", " ",
// "#" (ignored), a width and a precision given as digits. A conversion without an argument prints
// "(null)"; surplus arguments are ignored.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "platform/foundation/Object.h"

namespace platform {

// One argument of formatString(). Holds a view of strings and objects: it lives only for the
// duration of the call.
class FormatArg {
  public:
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                               !std::is_same_v<T, char>,
                                           int> = 0>
    FormatArg(T v) {
        if constexpr (std::is_signed_v<T>) {
            value_ = static_cast<std::int64_t>(v);
        } else {
            value_ = static_cast<std::uint64_t>(v);
        }
    }
    // Booleans print as 1 and 0, as the phone's number objects do.
    FormatArg(bool v) : value_(static_cast<std::int64_t>(v ? 1 : 0)) {}
    FormatArg(char v) : value_(v) {}
    FormatArg(double v) : value_(v) {}
    FormatArg(float v) : value_(static_cast<double>(v)) {}
    FormatArg(const char* v) : value_(v ? std::string_view(v) : std::string_view("(null)")) {}
    FormatArg(const std::string& v) : value_(std::string_view(v)) {}
    FormatArg(std::string_view v) : value_(v) {}
    FormatArg(const Object& v) : value_(&v) {}

    using Value =
        std::variant<std::int64_t, std::uint64_t, double, char, std::string_view, const Object*>;
    const Value& value() const { return value_; }

  private:
    Value value_;
};

// Formats `format` with `args` (see the file comment).
std::string formatList(std::string_view format, std::initializer_list<FormatArg> args);

template <typename... Args>
std::string formatString(std::string_view format, const Args&... args) {
    return formatList(format, {FormatArg(args)...});
}

// An object as "%@" prints it: strings as they are, whole doubles without a fraction (5.0 -> 5),
// other numbers in their shortest exact form, Booleans as 1 or 0, null as "<null>"; data, dates,
// arrays and dictionaries in Object::description() form.
std::string displayText(const Object& object);

// The shortest text that reads back as `value`, without a fraction for whole numbers below 1e15
// ("5", "0.1", "-2.5", "1e+20"); "nan", "inf" and "-inf" for the special values.
std::string shortestNumberText(double value);

}  // namespace platform
