#pragma once

// The phone's user defaults: small persistent key-value suites of property-list values.
//
// Storage: one binary property list per suite, <data root>/Library/Preferences/<suite>.plist
// (characters other than letters, digits, ".", "-" and "_" in the suite name are %-escaped). The
// standard suite is named after the main bundle's identifier, or "tessaline" without one.
// A change is seen by every reader at once and written in the background: a worker thread
// writes the whole suite atomically (writeFileAtomically), so a crash leaves either the old file
// or the new one, and every change made before the write runs goes out with it. synchronize()
// waits for the write; a normal exit writes what is pending. A write that fails is logged, kept
// in memory and retried by the next change or synchronize(). While the file exists but cannot be
// read, changes are refused (logged) rather than written over values this process never saw.
// Sharing: all objects of one suite in this process share one state; another process's changes
// are picked up (one stat, a read only when the file changed) before each change, before each
// write and at synchronize(), with this process's unwritten changes laid over them; reads answer
// from memory.
// Registered defaults are volatile, per suite, and answer only where the suite has no value.
// Thread-safe.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Object.h"

namespace platform {

class UserDefaults {
  public:
    // The standard suite's shared object.
    static UserDefaults& standardUserDefaults();
    // The name the standard suite's file is named after.
    static std::string standardSuiteName();

    // A named suite; an empty name means the standard suite.
    explicit UserDefaults(std::string suiteName = "");

    const std::string& suiteName() const;

    // The stored value, else the registered one, else a null object.
    Object objectForKey(std::string_view key) const;
    // Stores a copy of `value`; a null value removes the key. A value with no property-list
    // form (a null inside a collection, text that is not UTF-8, a date out of range) is refused
    // with a log line and false, and nothing changes; so is any value while the suite's file
    // cannot be read.
    bool setObject(const Object& value, const std::string& key);
    void removeObjectForKey(const std::string& key);
    void setBool(bool value, const std::string& key);
    void setInteger(std::int64_t value, const std::string& key);
    void setDouble(double value, const std::string& key);

    // Typed reads with the phone's conversions:
    //   boolForKey     bool as is; numbers: non-zero; strings: "YES"/"true" (any case) are
    //                  true, "NO"/"false" false, else a leading integer that is non-zero;
    //                  anything else false.
    //   integerForKey  integers as is; bools 0/1; doubles truncated (0 when out of range);
    //                  strings: their leading integer ("42abc" is 42, "3.9" is 3), saturating;
    //                  anything else 0.
    //   doubleForKey   numbers as a double; strings: their leading number; anything else 0.
    //   stringForKey   strings as is; integers and doubles as their shortest decimal text,
    //                  bools as "1"/"0"; anything else nullopt.
    //   array/dictionary/data/dateForKey: only a value of that kind.
    bool boolForKey(std::string_view key) const;
    std::int64_t integerForKey(std::string_view key) const;
    double doubleForKey(std::string_view key) const;
    std::optional<std::string> stringForKey(std::string_view key) const;
    std::optional<Array> arrayForKey(std::string_view key) const;
    std::optional<Dictionary> dictionaryForKey(std::string_view key) const;
    std::optional<Data> dataForKey(std::string_view key) const;
    std::optional<Date> dateForKey(std::string_view key) const;

    // Adds values that answer where the suite holds none; they are never written to disk.
    void registerDefaults(const Dictionary& defaults);

    // Picks up changes on disk and waits until every change made before the call is written.
    // False when the suite could not be written or its file could not be read.
    bool synchronize();

    // Removes every stored value of the suite `suiteName` (empty: the standard suite) and its
    // file; registered defaults stay. A write still pending for the suite does not bring the
    // file back.
    void removePersistentDomainForName(const std::string& suiteName);

    // Registered defaults overlaid with the stored values.
    Dictionary dictionaryRepresentation() const;

  private:
    struct Suite;
    static std::shared_ptr<Suite> suiteNamed(const std::string& name);
    std::shared_ptr<Suite> suite_;
};

}  // namespace platform
