#include "platform/foundation/Object.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <ostream>

namespace platform {

Object Object::dict(std::initializer_list<std::pair<const std::string, Object>> items) {
    return Object(platform::Dictionary(items.begin(), items.end()));
}

Object Object::array(std::initializer_list<Object> items) {
    return Object(platform::Array(items.begin(), items.end()));
}

const platform::Array* Object::getArray() const {
    auto* box = std::get_if<Box<platform::Array>>(&value_);
    return box ? &box->get() : nullptr;
}

const platform::Dictionary* Object::getDictionary() const {
    auto* box = std::get_if<Box<platform::Dictionary>>(&value_);
    return box ? &box->get() : nullptr;
}

platform::Array* Object::getArray() {
    auto* box = std::get_if<Box<platform::Array>>(&value_);
    return box ? &box->get() : nullptr;
}

platform::Dictionary* Object::getDictionary() {
    auto* box = std::get_if<Box<platform::Dictionary>>(&value_);
    return box ? &box->get() : nullptr;
}

const platform::Array& Object::asArray() const {
    return std::get<Box<platform::Array>>(value_).get();
}

const platform::Dictionary& Object::asDictionary() const {
    return std::get<Box<platform::Dictionary>>(value_).get();
}

std::optional<double> Object::numberAsDouble() const {
    if (auto* b = getBool()) return *b ? 1.0 : 0.0;
    if (auto* i = getInteger()) return static_cast<double>(*i);
    if (auto* d = getDouble()) return *d;
    return std::nullopt;
}

std::optional<std::int64_t> Object::numberAsInteger() const {
    if (auto* b = getBool()) return *b ? 1 : 0;
    if (auto* i = getInteger()) return *i;
    if (auto* d = getDouble()) {
        // 2^63 is exactly representable; anything at or beyond it does not fit.
        constexpr double kLimit = 9223372036854775808.0;
        if (!std::isfinite(*d) || *d >= kLimit || *d < -kLimit) return std::nullopt;
        return static_cast<std::int64_t>(*d);
    }
    return std::nullopt;
}

const Object& Object::null() {
    static const Object kNull;
    return kNull;
}

const Object& Object::operator[](std::string_view key) const {
    const auto* d = getDictionary();
    if (!d) return null();
    auto it = d->find(key);
    return it == d->end() ? null() : it->second;
}

const Object& Object::operator[](std::size_t index) const {
    const auto* a = getArray();
    if (!a || index >= a->size()) return null();
    return (*a)[index];
}

std::size_t Object::count() const {
    if (const auto* a = getArray()) return a->size();
    if (const auto* d = getDictionary()) return d->size();
    return 0;
}

bool operator==(const Object& a, const Object& b) {
    if (a.type() != b.type()) return false;
    switch (a.type()) {
        case Object::Type::Null:
            return true;
        case Object::Type::Bool:
            return a.asBool() == b.asBool();
        case Object::Type::Integer:
            return a.asInteger() == b.asInteger();
        case Object::Type::Double:
            return a.asDouble() == b.asDouble();
        case Object::Type::String:
            return a.asString() == b.asString();
        case Object::Type::Data:
            return a.asData() == b.asData();
        case Object::Type::Date:
            return a.asDate() == b.asDate();
        case Object::Type::Array:
            return a.asArray() == b.asArray();
        case Object::Type::Dictionary:
            return a.asDictionary() == b.asDictionary();
    }
    return false;
}

namespace {

std::string formatDouble(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    std::string s(buf, ec == std::errc() ? end : buf);
    // Keep doubles recognisable as such in descriptions: 1 -> 1.0
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

void quote(std::string& out, const std::string& s) {
    out += '"';
    for (char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    out += '"';
}

void describe(const Object& o, std::string& out) {
    switch (o.type()) {
        case Object::Type::Null:
            out += "null";
            return;
        case Object::Type::Bool:
            out += o.asBool() ? "true" : "false";
            return;
        case Object::Type::Integer:
            out += std::to_string(o.asInteger());
            return;
        case Object::Type::Double:
            out += formatDouble(o.asDouble());
            return;
        case Object::Type::String:
            quote(out, o.asString());
            return;
        case Object::Type::Data: {
            static const char* kHex = "0123456789abcdef";
            out += '<';
            for (auto byte : o.asData()) {
                out += kHex[byte >> 4];
                out += kHex[byte & 15];
            }
            out += '>';
            return;
        }
        case Object::Type::Date:
            // Appended in two steps: g++ 12 at -O3 misreads `"@" + text` as an overlapping copy
            // (-Wrestrict).
            out += '@';
            out += formatDouble(o.asDate().secondsSince1970);
            return;
        case Object::Type::Array: {
            out += '[';
            bool first = true;
            for (const auto& e : o.asArray()) {
                if (!first) out += ", ";
                first = false;
                describe(e, out);
            }
            out += ']';
            return;
        }
        case Object::Type::Dictionary: {
            out += '{';
            bool first = true;
            for (const auto& [k, v] : o.asDictionary()) {
                if (!first) out += ", ";
                first = false;
                quote(out, k);
                out += ": ";
                describe(v, out);
            }
            out += '}';
            return;
        }
    }
}

}  // namespace

std::string Object::description() const {
    std::string out;
    describe(*this, out);
    return out;
}

void PrintTo(const Object& object, std::ostream* os) {
    *os << object.description();
}

void PrintTo(const Date& date, std::ostream* os) {
    *os << '@' << formatDouble(date.secondsSince1970);
}

void PrintTo(Object::Type type, std::ostream* os) {
    *os << typeName(type);
}

const char* typeName(Object::Type type) {
    static constexpr const char* kNames[] = {"null", "bool", "integer", "double",    "string",
                                             "data", "date", "array",   "dictionary"};
    return kNames[static_cast<int>(type)];
}

}  // namespace platform
