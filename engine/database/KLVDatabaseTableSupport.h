#pragma once

// Small helpers shared by the table operations of the measurement database (the
// KLVDatabase_*.cpp files): failing with an engine error, and reading the single values that
// numberForQuery answers.

#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/base/KLVErrors.h"
#include "engine/events/KLVValue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace engine::table_support {

// Stores the engine error and answers false, so that a failing check is one return.
inline bool fail(platform::Error* error, std::int64_t code, std::string_view description) {
    KLVSetError(error, code, description);
    return false;
}

// The answer of "SELECT EXISTS ..." and the like; nothing when the query failed.
inline std::optional<bool> booleanOf(const std::optional<platform::Object>& number) {
    if (!number) return std::nullopt;
    return number->numberAsInteger().value_or(0) != 0;
}

// The answer of "SELECT count(1) ..."; nothing when the query failed.
inline std::optional<std::int64_t> integerOf(const std::optional<platform::Object>& number) {
    if (!number) return std::nullopt;
    return number->numberAsInteger();
}

// A value as its column holds it: strings as text, doubles as doubles, integers as integers.
inline platform::Object plainValue(const KLVValue& value) {
    if (value.isString()) return platform::Object(*value.stringValue());
    if (value.isDouble()) return platform::Object(value.doubleValue());
    return platform::Object(value.int64Value());
}

}  // namespace engine::table_support
