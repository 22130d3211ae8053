#include "engine/script/KLVPPropertyMap.h"

namespace engine {

KLVPPropertyMap::~KLVPPropertyMap() {
    removeAll();
}

const KLVPValue* KLVPPropertyMap::find(std::u16string_view name) const {
    const auto it = index_.find(name);
    return it == index_.end() ? nullptr : &entries_[it->second].value;
}

const KLVPValue& KLVPPropertyMap::valueForName(std::u16string_view name) const {
    const KLVPValue* value = find(name);
    return value ? *value : KLVPUndefined();
}

bool KLVPPropertyMap::writable(std::u16string_view name) const {
    return !immutable_ && !immutableNames_.contains(name);
}

void KLVPPropertyMap::setValue(KLVPValue value, std::u16string_view name) {
    if (!writable(name)) return;
    if (const auto it = index_.find(name); it != index_.end()) {
        KLVPRelease(std::exchange(entries_[it->second].value, std::move(value)));
        return;
    }
    index_.emplace(std::u16string(name), entries_.size());
    entries_.push_back(Entry{std::u16string(name), std::move(value)});
}

void KLVPPropertyMap::setImmutableValue(KLVPValue value, std::u16string_view name) {
    if (!writable(name)) return;
    setValue(std::move(value), name);
    immutableNames_.emplace(name);
}

void KLVPPropertyMap::removeValueForName(std::u16string_view name) {
    if (!writable(name)) return;
    const auto it = index_.find(name);
    if (it == index_.end()) return;
    KLVPRelease(std::move(entries_[it->second].value));
    entries_[it->second].value = nullptr;
    index_.erase(it);
    // Removed entries are compacted away once they are the majority, so a map that keeps
    // changing its names does not grow.
    if (entries_.size() > 16 && index_.size() < entries_.size() / 2) compact();
}

void KLVPPropertyMap::compact() {
    std::vector<Entry> kept;
    kept.reserve(index_.size());
    for (Entry& entry : entries_) {
        if (!entry.value) continue;
        index_[entry.name] = kept.size();
        kept.push_back(std::move(entry));
    }
    entries_ = std::move(kept);
}

std::vector<std::u16string> KLVPPropertyMap::allNames() const {
    std::vector<std::u16string> names;
    names.reserve(index_.size());
    forEachEntry([&](const std::u16string& name, const KLVPValue&) { names.push_back(name); });
    return names;
}

void KLVPPropertyMap::removeAll() {
    std::vector<Entry> entries = std::move(entries_);
    entries_.clear();
    index_.clear();
    for (Entry& entry : entries)
        KLVPRelease(std::move(entry.value));
}

}  // namespace engine
