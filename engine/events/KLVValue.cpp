#include "engine/events/KLVValue.h"

#include <cmath>
#include <ostream>
#include <utility>

#include "engine/base/KLVMonitor.h"

namespace engine {

using platform::Object;

namespace {

// Doubles compare as numbers do, except that NaN equals NaN, so that every value equals itself.
bool sameDouble(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

bool sameObject(const Object& a, const Object& b) {
    if (a.isDouble() && b.isDouble()) return sameDouble(a.asDouble(), b.asDouble());
    return a == b;
}

std::size_t objectHash(const Object& object) {
    switch (object.type()) {
        case Object::Type::Integer:
            return std::hash<std::int64_t>{}(object.asInteger());
        case Object::Type::Double: {
            const double d = object.asDouble();
            if (std::isnan(d)) return 0x7ff8;
            return std::hash<double>{}(d == 0 ? 0.0 : d);  // -0.0 equals 0.0
        }
        case Object::Type::String:
            return std::hash<std::string>{}(object.asString());
        case Object::Type::Array:
            return object.count();
        default:
            return std::hash<std::string>{}(object.description());
    }
}

}  // namespace

KLVValue::KLVValue(KLVValueType valueType, Object value)
    : valueType_(valueType), value_(std::make_shared<const Object>(std::move(value))) {}

std::optional<KLVValue> KLVValue::valueFromObject(const Object& object, bool allowArray) {
    switch (object.type()) {
        case Object::Type::Null:
            monitor().logWithLevel(kKLVLogError, 35000, "Cannot create Value type with nil value");
            return std::nullopt;
        case Object::Type::String:
            return initWithString(object.asString());
        case Object::Type::Bool:
            return initWithInt64(object.asBool() ? 1 : 0);
        case Object::Type::Integer:
            return initWithInt64(object.asInteger());
        case Object::Type::Double:
            return initWithDouble(object.asDouble());
        case Object::Type::Array:
            if (allowArray) return initWithArray(object.asArray());
            break;
        default:
            break;
    }
    monitor().logWithLevel(
        kKLVLogError, 35001,
        "Cannot create Value type with unsupported value. The Value has to be NSNumber, "
        "NSString or NSArray (if supported). Value",
        object);
    return std::nullopt;
}

KLVValue KLVValue::initWithDouble(double value) {
    return KLVValue(KLVValueTypeDouble, Object(value));
}

KLVValue KLVValue::initWithInt64(std::int64_t value) {
    return KLVValue(KLVValueTypeInt64, Object(value));
}

KLVValue KLVValue::initWithString(std::string value) {
    return KLVValue(KLVValueTypeString, Object(std::move(value)));
}

std::optional<KLVValue> KLVValue::initWithString(const Object& object) {
    if (object.isNull()) {
        monitor().logWithLevel(kKLVLogError, 35002, "Cannot create String value with nil");
        return std::nullopt;
    }
    if (!object.isString()) {
        monitor().logWithLevel(kKLVLogError, 35003,
                               "Cannot create String value with non-string value. Value", object);
        return std::nullopt;
    }
    return initWithString(object.asString());
}

KLVValue KLVValue::initWithArray(platform::Array elements) {
    return KLVValue(KLVValueTypeArray, Object(std::move(elements)));
}

std::optional<KLVValue> KLVValue::initWithArray(const Object& object) {
    if (object.isNull()) {
        monitor().logWithLevel(kKLVLogError, 35004, "Cannot create Array value with nil");
        return std::nullopt;
    }
    if (!object.isArray()) {
        monitor().logWithLevel(kKLVLogError, 35005,
                               "Cannot create Array value with non-array value. Value", object);
        return std::nullopt;
    }
    return initWithArray(object.asArray());
}

KLVValue KLVValue::initWithValueType(KLVValueType valueType, Object value) {
    return KLVValue(valueType, std::move(value));
}

double KLVValue::doubleValue() const {
    if (!isDouble()) return 0.0;
    return value_->numberAsDouble().value_or(0.0);
}

std::int64_t KLVValue::int64Value() const {
    if (!isInt64()) return 0;
    // A double held under the int64 kind (only initWithValueType can do that) converts only when
    // it fits; NaN and out-of-range values give 0.
    return value_->numberAsInteger().value_or(0);
}

const std::string* KLVValue::stringValue() const {
    return isString() ? value_->getString() : nullptr;
}

const platform::Array* KLVValue::arrayValue() const {
    return isArray() ? value_->getArray() : nullptr;
}

std::string KLVValue::description() const {
    if (const auto* text = value_->getString()) return *text;
    return value_->description();
}

bool operator==(const KLVValue& a, const KLVValue& b) {
    return a.valueType_ == b.valueType_ &&
           (a.value_ == b.value_ || sameObject(*a.value_, *b.value_));
}

void PrintTo(const KLVValue& value, std::ostream* os) {
    *os << value.value().description();
}

std::size_t KLVValue::hash() const {
    return objectHash(*value_) ^ (static_cast<std::size_t>(valueType_) * 31u);
}

}  // namespace engine
