#pragma once

// The key-value store protocol shared by the engine's persistent dictionary and its user-defaults
// wrapper, so that callers can hold either. Values are property-list objects: strings, numbers,
// arrays, dictionaries, dates and bytes. A null object stands for "no value": reading a missing
// key gives null, and storing null removes the key.
//
// The typed getters convert the same way for every store: numbers give their integer, float,
// double or Boolean value (0 or false when the value is missing or not a number); strings,
// numbers, arrays and dictionaries are answered only when the stored value is of that kind.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/base/KLVASLLogger.h"
#include "platform/foundation/Object.h"
#include "platform/utilities/WDLLogger.h"

namespace engine {

class KLVConfigStore {
  public:
    virtual ~KLVConfigStore() = default;

    // The stored object, or null.
    virtual platform::Object objectForKey(std::string_view key) const = 0;
    std::optional<platform::Array> arrayForKey(std::string_view key) const;
    std::optional<platform::Dictionary> dictionaryForKey(std::string_view key) const;
    std::optional<std::string> stringForKey(std::string_view key) const;
    // The stored number (a Boolean, integer or double object), or null.
    platform::Object numberForKey(std::string_view key) const;
    // A double out of the 64-bit range, or NaN, reads as 0.
    std::int64_t integerForKey(std::string_view key) const;
    float floatForKey(std::string_view key) const;
    double doubleForKey(std::string_view key) const;
    bool boolForKey(std::string_view key) const;

    // Stores `value` (null removes the key). False when the key or the value was refused (the
    // store logs why); the store is then unchanged.
    virtual bool setObject(const platform::Object& value, std::string_view key) = 0;
    void setFloat(float value, std::string_view key);
    void setDouble(double value, std::string_view key);
    void setInteger(std::int64_t value, std::string_view key);
    void setBool(bool value, std::string_view key);
    void removeObjectForKey(std::string_view key);
    virtual void clearAllData() = 0;
    // Brings the stored values to disk.
    virtual void synchronize() = 0;

  protected:
    // The stores report through the utilities framework's unified log, under the engine's
    // subsystem and default category, never forced.
    template <typename... Args>
    static void logWarning(std::int64_t code, std::string_view format, const Args&... args) {
        platform::WDLOSLogWarning(kKLVLogSubsystem, kKLVDefaultLogTag, false,
                                  KLVMessageCodeText(code), format, args...);
    }
    template <typename... Args>
    static void logError(std::int64_t code, std::string_view format, const Args&... args) {
        platform::WDLOSLogError(kKLVLogSubsystem, kKLVDefaultLogTag, false,
                                KLVMessageCodeText(code), format, args...);
    }
};

}  // namespace engine
