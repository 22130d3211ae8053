#pragma once

// Names to values, for scopes and for map and function values. Names enumerate in the order they
// were first bound (a removed name that is bound again goes to the end). Constants and a frozen
// map refuse writes silently.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/script/KLVPRuntimeValue.h"

namespace engine {

class KLVPPropertyMap {
  public:
    KLVPPropertyMap() = default;
    ~KLVPPropertyMap();
    KLVPPropertyMap(const KLVPPropertyMap&) = delete;
    KLVPPropertyMap& operator=(const KLVPPropertyMap&) = delete;

    bool hasName(std::u16string_view name) const { return find(name) != nullptr; }
    // Undefined when absent.
    const KLVPValue& valueForName(std::u16string_view name) const;
    // Null when absent.
    const KLVPValue* find(std::u16string_view name) const;

    void setValue(KLVPValue value, std::u16string_view name);
    // Binds a constant: later writes of the name are ignored.
    void setImmutableValue(KLVPValue value, std::u16string_view name);
    void removeValueForName(std::u16string_view name);
    void makeImmutable() { immutable_ = true; }
    bool isImmutable() const { return immutable_; }

    std::vector<std::u16string> allNames() const;
    std::size_t count() const { return index_.size(); }
    template <class F>
    void forEachValue(F&& f) const {
        for (const Entry& entry : entries_) {
            if (entry.value) f(entry.value);
        }
    }
    template <class F>
    void forEachEntry(F&& f) const {
        for (const Entry& entry : entries_) {
            if (entry.value) f(entry.name, entry.value);
        }
    }

    // Drops every binding (the collector's sweep), without recursion.
    void removeAll();

  private:
    struct Entry {
        std::u16string name;
        KLVPValue value;  // null once removed
    };
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::u16string_view s) const {
            return std::hash<std::u16string_view>{}(s);
        }
    };

    bool writable(std::u16string_view name) const;
    void compact();

    std::vector<Entry> entries_;
    std::unordered_map<std::u16string, std::size_t, Hash, std::equal_to<>> index_;
    std::unordered_set<std::u16string, Hash, std::equal_to<>> immutableNames_;
    bool immutable_ = false;
};

}  // namespace engine
