#pragma once

// Names to values, for scopes and for map and function values. Names enumerate in the order they
// were first bound (a removed name that is bound again goes to the end). Constants and a frozen
// map refuse writes silently.
//
// Most maps (a call's scope, a rule) hold a few names and are searched in order; larger ones keep
// an index by hash. Names may be as long as any text, so reading one is bulk work: it is charged
// to the run under way, and a lookup that visits several maps (a scope chain) hashes its name at
// most once (KLVPName).

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/script/KLVPRuntimeValue.h"

namespace engine {

// A name for lookups in several maps: charged once, hashed at most once.
class KLVPName {
  public:
    explicit KLVPName(std::u16string_view text);
    std::u16string_view text() const { return text_; }
    std::size_t hash() const;

  private:
    std::u16string_view text_;
    mutable std::size_t hash_ = 0;
    mutable bool hashed_ = false;
};

class KLVPPropertyMap {
  public:
    KLVPPropertyMap() = default;
    ~KLVPPropertyMap();
    KLVPPropertyMap(const KLVPPropertyMap&) = delete;
    KLVPPropertyMap& operator=(const KLVPPropertyMap&) = delete;

    bool hasName(std::u16string_view name) const { return find(name) != nullptr; }
    bool hasName(const KLVPName& name) const { return find(name) != nullptr; }
    // Undefined when absent.
    const KLVPValue& valueForName(std::u16string_view name) const;
    // Null when absent.
    const KLVPValue* find(std::u16string_view name) const { return find(KLVPName(name)); }
    const KLVPValue* find(const KLVPName& name) const;

    // Both answer whether the name is new to the map.
    bool setValue(KLVPValue value, std::u16string_view name) {
        return setValue(std::move(value), KLVPName(name));
    }
    bool setValue(KLVPValue value, const KLVPName& name);
    // Binds a constant: later writes of the name are ignored.
    void setImmutableValue(KLVPValue value, std::u16string_view name);
    void removeValueForName(std::u16string_view name);
    void makeImmutable() { immutable_ = true; }
    bool isImmutable() const { return immutable_; }

    std::vector<std::u16string> allNames() const;
    std::size_t count() const { return count_; }
    template <class F>
    void forEachEntry(F&& f) const {
        for (const Entry& entry : entries_) {
            if (entry.value) f(entry.name, entry.value);
        }
    }

    // Marks every value and counts every entry, removed ones awaiting compaction too.
    void mark(KLVPMarkList& list) const;

    // Drops every binding (the collector's sweep), without recursion.
    void removeAll();

  private:
    struct Entry {
        std::u16string name;
        KLVPValue value;  // null once removed
        bool immutable = false;
    };
    // The index keeps each name's hash, so that it is computed once per name.
    struct Key {
        std::u16string name;
        std::size_t hash;
    };
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(const Key& key) const { return key.hash; }
        std::size_t operator()(const KLVPName& name) const { return name.hash(); }
    };
    struct Equal {
        using is_transparent = void;
        bool operator()(const Key& a, const Key& b) const { return a.name == b.name; }
        bool operator()(const KLVPName& a, const Key& b) const { return a.text() == b.name; }
        bool operator()(const Key& a, const KLVPName& b) const { return a.name == b.text(); }
    };
    using Index = std::unordered_map<Key, std::size_t, Hash, Equal>;
    // Maps of up to this many entries are searched in order.
    static constexpr std::size_t kUnindexedEntries = 8;

    std::size_t positionOf(const KLVPName& name) const;
    Entry* entryFor(const KLVPName& name);
    void rebuildIndex();
    void compact();

    std::vector<Entry> entries_;
    std::size_t count_ = 0;  // entries with a value
    std::unique_ptr<Index> index_;
    bool immutable_ = false;
};

}  // namespace engine
