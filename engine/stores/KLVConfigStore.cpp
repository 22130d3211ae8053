#include "engine/stores/KLVConfigStore.h"

#include <cmath>
#include <limits>

namespace engine {

using platform::Object;

std::optional<platform::Array> KLVConfigStore::arrayForKey(std::string_view key) const {
    const Object value = objectForKey(key);
    if (const auto* array = value.getArray()) return *array;
    return std::nullopt;
}

std::optional<platform::Dictionary> KLVConfigStore::dictionaryForKey(std::string_view key) const {
    const Object value = objectForKey(key);
    if (const auto* dictionary = value.getDictionary()) return *dictionary;
    return std::nullopt;
}

std::optional<std::string> KLVConfigStore::stringForKey(std::string_view key) const {
    const Object value = objectForKey(key);
    if (const auto* text = value.getString()) return *text;
    return std::nullopt;
}

Object KLVConfigStore::numberForKey(std::string_view key) const {
    Object value = objectForKey(key);
    return value.isNumber() ? value : Object();
}

std::int64_t KLVConfigStore::integerForKey(std::string_view key) const {
    return objectForKey(key).numberAsInteger().value_or(0);
}

float KLVConfigStore::floatForKey(std::string_view key) const {
    const double value = doubleForKey(key);
    // Narrowing a double beyond the float range is undefined; it reads as an infinity instead.
    if (std::fabs(value) > std::numeric_limits<float>::max()) {
        return std::signbit(value) ? -std::numeric_limits<float>::infinity()
                                   : std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(value);
}

double KLVConfigStore::doubleForKey(std::string_view key) const {
    return objectForKey(key).numberAsDouble().value_or(0.0);
}

bool KLVConfigStore::boolForKey(std::string_view key) const {
    const auto number = objectForKey(key).numberAsDouble();
    return number && *number != 0;
}

void KLVConfigStore::setFloat(float value, std::string_view key) {
    setObject(Object(value), key);
}

void KLVConfigStore::setDouble(double value, std::string_view key) {
    setObject(Object(value), key);
}

void KLVConfigStore::setInteger(std::int64_t value, std::string_view key) {
    setObject(Object(value), key);
}

void KLVConfigStore::setBool(bool value, std::string_view key) {
    setObject(Object(value), key);
}

void KLVConfigStore::removeObjectForKey(std::string_view key) {
    setObject(Object(), key);
}

}  // namespace engine
