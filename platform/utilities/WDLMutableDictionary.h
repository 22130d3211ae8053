#pragma once

// A dictionary that several threads may read and write at once. Enumeration goes through a copy
// (dictionary()), ordered by key, so no caller ever sees it change under its feet.

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/Object.h"

namespace platform {

template <typename Value = Object, typename Key = std::string>
class WDLMutableDictionary {
  public:
    using Map = std::map<Key, Value, std::less<>>;

    WDLMutableDictionary() = default;
    WDLMutableDictionary(const WDLMutableDictionary&) = delete;
    WDLMutableDictionary& operator=(const WDLMutableDictionary&) = delete;

    // The value under `key`, or nullopt.
    template <typename K>
    std::optional<Value> objectForKey(const K& key) const {
        std::lock_guard lock(mutex_);
        const auto it = map_.find(key);
        if (it == map_.end()) return std::nullopt;
        return it->second;
    }

    void setObject(Value value, Key key) {
        std::lock_guard lock(mutex_);
        map_.insert_or_assign(std::move(key), std::move(value));
    }

    template <typename K>
    void removeObjectForKey(const K& key) {
        std::lock_guard lock(mutex_);
        const auto it = map_.find(key);
        if (it != map_.end()) map_.erase(it);
    }

    // Empties the dictionary.
    void reset() {
        std::lock_guard lock(mutex_);
        map_.clear();
    }

    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return map_.size();
    }

    // A copy of the content, for enumeration.
    Map dictionary() const {
        std::lock_guard lock(mutex_);
        return map_;
    }

  private:
    mutable std::mutex mutex_;
    Map map_;
};

}  // namespace platform
