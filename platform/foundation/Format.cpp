#include "platform/foundation/Format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>

namespace platform {

namespace {

struct Directive {
    bool leftAlign = false;
    bool zeroPad = false;
    bool plusSign = false;
    bool spaceSign = false;
    std::size_t width = 0;
    std::optional<std::size_t> precision;
    char conversion = 0;
};

template <typename T>
std::string toChars(T value) {
    char buf[32];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, result.ptr);
}

std::string toChars(std::uint64_t value, int base) {
    char buf[72];
    const auto result = std::to_chars(buf, buf + sizeof buf, value, base);
    return std::string(buf, result.ptr);
}

// A double truncated toward zero into the 64-bit range (NaN gives 0).
std::int64_t saturatingInteger(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (d < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
}

void upperCase(std::string& text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
}

// Cuts a UTF-8 text to at most `limit` bytes without splitting a character.
std::string_view cutText(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

void pad(std::string& out, std::string_view body, const Directive& directive,
         std::size_t signLength = 0) {
    if (body.size() >= directive.width) {
        out += body;
        return;
    }
    const std::size_t fill = directive.width - body.size();
    if (directive.leftAlign) {
        out += body;
        out.append(fill, ' ');
    } else if (directive.zeroPad) {
        out += body.substr(0, signLength);
        out.append(fill, '0');
        out += body.substr(signLength);
    } else {
        out.append(fill, ' ');
        out += body;
    }
}

std::string signPrefix(bool negative, const Directive& directive) {
    if (negative) return "-";
    if (directive.plusSign) return "+";
    if (directive.spaceSign) return " ";
    return "";
}

void appendText(std::string& out, std::string_view text, const Directive& directive) {
    Directive plain = directive;
    plain.zeroPad = false;
    pad(out, directive.precision ? cutText(text, *directive.precision) : text, plain);
}

// The argument's text as "%@" and "%s" print it.
std::string argumentText(const FormatArg::Value& value) {
    struct Visitor {
        std::string operator()(std::int64_t v) const { return toChars(v); }
        std::string operator()(std::uint64_t v) const { return toChars(v); }
        std::string operator()(double v) const { return shortestNumberText(v); }
        std::string operator()(char v) const { return std::string(1, v); }
        std::string operator()(std::string_view v) const { return std::string(v); }
        std::string operator()(const Object* v) const { return displayText(*v); }
    };
    return std::visit(Visitor{}, value);
}

// Integer view of an argument; nullopt for texts and non-numeric objects.
struct IntegerView {
    bool negative = false;
    std::uint64_t magnitude = 0;
    std::uint64_t bits = 0;  // two's complement, for the unsigned conversions
};

std::optional<IntegerView> fromSigned(std::int64_t v) {
    IntegerView view;
    view.negative = v < 0;
    view.bits = static_cast<std::uint64_t>(v);
    view.magnitude = view.negative ? (~view.bits + 1) : view.bits;
    return view;
}

std::optional<IntegerView> integerView(const FormatArg::Value& value) {
    if (const auto* v = std::get_if<std::int64_t>(&value)) return fromSigned(*v);
    if (const auto* v = std::get_if<std::uint64_t>(&value)) return IntegerView{false, *v, *v};
    if (const auto* v = std::get_if<double>(&value)) return fromSigned(saturatingInteger(*v));
    if (const auto* v = std::get_if<char>(&value)) return fromSigned(*v);
    if (const auto* v = std::get_if<const Object*>(&value)) {
        if (const auto* d = (*v)->getDouble()) return fromSigned(saturatingInteger(*d));
        if (const auto i = (*v)->numberAsInteger()) return fromSigned(*i);
    }
    return std::nullopt;
}

std::optional<double> doubleView(const FormatArg::Value& value) {
    if (const auto* v = std::get_if<std::int64_t>(&value)) return static_cast<double>(*v);
    if (const auto* v = std::get_if<std::uint64_t>(&value)) return static_cast<double>(*v);
    if (const auto* v = std::get_if<double>(&value)) return *v;
    if (const auto* v = std::get_if<const Object*>(&value)) return (*v)->numberAsDouble();
    return std::nullopt;
}

void appendInteger(std::string& out, const FormatArg::Value& value, const Directive& directive) {
    const auto view = integerView(value);
    if (!view) return appendText(out, argumentText(value), directive);
    const char c = directive.conversion;
    const bool isSigned = c == 'd' || c == 'i';
    std::string digits;
    if (isSigned) {
        digits = toChars(view->magnitude, 10);
    } else {
        const int base = (c == 'x' || c == 'X') ? 16 : (c == 'o' ? 8 : 10);
        digits = toChars(view->bits, base);
        if (c == 'X') upperCase(digits);
    }
    if (directive.precision && digits.size() < *directive.precision) {
        digits.insert(0, *directive.precision - digits.size(), '0');
    }
    const std::string sign = isSigned ? signPrefix(view->negative, directive) : "";
    Directive layout = directive;
    if (directive.precision) layout.zeroPad = false;
    pad(out, sign + digits, layout, sign.size());
}

void appendFloating(std::string& out, const FormatArg::Value& value, const Directive& directive) {
    const auto number = doubleView(value);
    if (!number) return appendText(out, argumentText(value), directive);
    const char c = directive.conversion;
    const bool upper = c == 'F' || c == 'E' || c == 'G';
    const double d = *number;
    const std::string sign = signPrefix(std::signbit(d) && !std::isnan(d), directive);
    std::string body;
    Directive layout = directive;
    if (!std::isfinite(d)) {
        body = std::isnan(d) ? "nan" : "inf";
        layout.zeroPad = false;
    } else {
        const auto format = (c == 'f' || c == 'F')   ? std::chars_format::fixed
                            : (c == 'e' || c == 'E') ? std::chars_format::scientific
                                                     : std::chars_format::general;
        int precision =
            static_cast<int>(std::min<std::size_t>(directive.precision.value_or(6), 100));
        if (format == std::chars_format::general && precision == 0) precision = 1;
        char buf[512];
        const auto result = std::to_chars(buf, buf + sizeof buf, std::fabs(d), format, precision);
        body.assign(buf, result.ec == std::errc() ? result.ptr : buf);
    }
    if (upper) upperCase(body);
    pad(out, sign + body, layout, sign.size());
}

void appendCharacter(std::string& out, const FormatArg::Value& value, const Directive& directive) {
    if (const auto view = integerView(value)) {
        appendText(out, std::string(1, static_cast<char>(view->bits & 0xFF)), directive);
        return;
    }
    appendText(out, argumentText(value), directive);
}

void appendConversion(std::string& out, const FormatArg* arg, const Directive& directive) {
    if (!arg) return appendText(out, "(null)", directive);
    switch (directive.conversion) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            return appendInteger(out, arg->value(), directive);
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
            return appendFloating(out, arg->value(), directive);
        case 'c':
            return appendCharacter(out, arg->value(), directive);
        default:  // '@' and 's'
            return appendText(out, argumentText(arg->value()), directive);
    }
}

std::size_t readNumber(std::string_view format, std::size_t& i) {
    std::size_t n = 0;
    while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
        n = std::min<std::size_t>(n * 10 + static_cast<std::size_t>(format[i] - '0'), 4096);
        ++i;
    }
    return n;
}

// Parses the conversion starting after '%' at `i`; nullopt (with `i` unchanged) when it is not a
// conversion this formatter knows.
std::optional<Directive> parseDirective(std::string_view format, std::size_t& i) {
    static constexpr std::string_view kConversions = "@sdiuxXofFeEgGc";
    static constexpr std::string_view kLengths = "hlqLzjt";
    std::size_t j = i;
    Directive directive;
    for (; j < format.size(); ++j) {
        const char f = format[j];
        if (f == '-') {
            directive.leftAlign = true;
        } else if (f == '0') {
            directive.zeroPad = true;
        } else if (f == '+') {
            directive.plusSign = true;
        } else if (f == ' ') {
            directive.spaceSign = true;
        } else if (f != '#') {
            break;
        }
    }
    directive.width = readNumber(format, j);
    if (j < format.size() && format[j] == '.') {
        ++j;
        directive.precision = readNumber(format, j);
    }
    while (j < format.size() && kLengths.find(format[j]) != std::string_view::npos)
        ++j;
    if (j >= format.size() || kConversions.find(format[j]) == std::string_view::npos) {
        return std::nullopt;
    }
    directive.conversion = format[j];
    i = j + 1;
    return directive;
}

}  // namespace

std::string formatList(std::string_view format, std::initializer_list<FormatArg> args) {
    std::string out;
    out.reserve(format.size() + 16 * args.size());
    auto next = args.begin();
    std::size_t i = 0;
    while (i < format.size()) {
        const std::size_t percent = format.find('%', i);
        out += format.substr(i, percent - i);
        if (percent == std::string_view::npos) break;
        i = percent + 1;
        if (i < format.size() && format[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        const auto directive = parseDirective(format, i);
        if (!directive) {
            out += '%';  // not a conversion: kept as written
            continue;
        }
        const FormatArg* arg = next != args.end() ? next++ : nullptr;
        appendConversion(out, arg, *directive);
    }
    return out;
}

std::string shortestNumberText(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    if (value == std::trunc(value) && std::fabs(value) < 1e15) {
        return toChars(static_cast<std::int64_t>(value));
    }
    return toChars(value);
}

std::string displayText(const Object& object) {
    switch (object.type()) {
        case Object::Type::Null:
            return "<null>";
        case Object::Type::Bool:
            return object.asBool() ? "1" : "0";
        case Object::Type::Integer:
            return toChars(object.asInteger());
        case Object::Type::Double:
            return shortestNumberText(object.asDouble());
        case Object::Type::String:
            return object.asString();
        default:
            return object.description();
    }
}

}  // namespace platform
