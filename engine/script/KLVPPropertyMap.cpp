#include "engine/script/KLVPPropertyMap.h"

#include "engine/script/KLVPBudget.h"

namespace engine {

KLVPName::KLVPName(std::u16string_view text)
    : text_(text), hash_(std::hash<std::u16string_view>{}(text)) {
    KLVPChargeWork(text.size(), nullptr);
}

KLVPPropertyMap::~KLVPPropertyMap() {
    removeAll();
}

KLVPPropertyMap::Entry* KLVPPropertyMap::entryFor(const KLVPName& name) {
    const auto it = index_.find(name);
    return it == index_.end() ? nullptr : &entries_[it->second];
}

const KLVPValue* KLVPPropertyMap::find(const KLVPName& name) const {
    const auto it = index_.find(name);
    return it == index_.end() ? nullptr : &entries_[it->second].value;
}

const KLVPValue& KLVPPropertyMap::valueForName(std::u16string_view name) const {
    const KLVPValue* value = find(name);
    return value ? *value : KLVPUndefined();
}

bool KLVPPropertyMap::setValue(KLVPValue value, const KLVPName& name) {
    if (immutable_) return false;
    if (Entry* entry = entryFor(name)) {
        if (!entry->immutable) KLVPRelease(std::exchange(entry->value, std::move(value)));
        return false;
    }
    index_.emplace(Key{std::u16string(name.text()), name.hash()}, entries_.size());
    entries_.push_back(Entry{std::u16string(name.text()), std::move(value)});
    return true;
}

void KLVPPropertyMap::setImmutableValue(KLVPValue value, std::u16string_view name) {
    const KLVPName key(name);
    if (immutable_) return;
    if (const Entry* entry = entryFor(key); entry && entry->immutable) return;
    setValue(std::move(value), key);
    entryFor(key)->immutable = true;
}

void KLVPPropertyMap::removeValueForName(std::u16string_view name) {
    if (immutable_) return;
    const auto it = index_.find(KLVPName(name));
    if (it == index_.end() || entries_[it->second].immutable) return;
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
        index_.find(KLVPName(entry.name))->second = kept.size();
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
