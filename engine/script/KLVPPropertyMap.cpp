#include "engine/script/KLVPPropertyMap.h"

#include "engine/script/KLVPBudget.h"

namespace engine {

namespace {

constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);

}  // namespace

KLVPName::KLVPName(std::u16string_view text) : text_(text) {
    KLVPRecordWork(text.size());
}

std::size_t KLVPName::hash() const {
    if (!hashed_) {
        hash_ = std::hash<std::u16string_view>{}(text_);
        hashed_ = true;
    }
    return hash_;
}

KLVPPropertyMap::~KLVPPropertyMap() {
    removeAll();
}

std::size_t KLVPPropertyMap::positionOf(const KLVPName& name) const {
    if (index_) {
        const auto it = index_->find(name);
        return it == index_->end() ? kAbsent : it->second;
    }
    const std::u16string_view text = name.text();
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const Entry& entry = entries_[i];
        if (!entry.value || entry.name.size() != text.size()) continue;
        // Names of the same length are compared unit by unit.
        KLVPRecordWork(text.size());
        if (entry.name == text) return i;
    }
    return kAbsent;
}

KLVPPropertyMap::Entry* KLVPPropertyMap::entryFor(const KLVPName& name) {
    const std::size_t position = positionOf(name);
    return position == kAbsent ? nullptr : &entries_[position];
}

const KLVPValue* KLVPPropertyMap::find(const KLVPName& name) const {
    const std::size_t position = positionOf(name);
    return position == kAbsent ? nullptr : &entries_[position].value;
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
    if (index_) index_->emplace(Key{std::u16string(name.text()), name.hash()}, entries_.size());
    entries_.push_back(Entry{std::u16string(name.text()), std::move(value)});
    ++count_;
    if (!index_ && count_ > kUnindexedEntries) rebuildIndex();
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
    const KLVPName key(name);
    const std::size_t position = positionOf(key);
    if (position == kAbsent || entries_[position].immutable) return;
    KLVPRelease(std::move(entries_[position].value));
    entries_[position].value = nullptr;
    if (index_) index_->erase(index_->find(key));
    --count_;
    // Removed entries are compacted away once they are the majority, so a map that keeps
    // changing its names does not grow.
    if (entries_.size() > 16 && count_ < entries_.size() / 2) compact();
}

void KLVPPropertyMap::rebuildIndex() {
    index_ = std::make_unique<Index>();
    index_->reserve(count_);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (!entries_[i].value) continue;
        const KLVPName name(entries_[i].name);
        index_->emplace(Key{entries_[i].name, name.hash()}, i);
    }
}

void KLVPPropertyMap::compact() {
    std::vector<Entry> kept;
    kept.reserve(count_);
    for (Entry& entry : entries_) {
        if (entry.value) kept.push_back(std::move(entry));
    }
    entries_ = std::move(kept);
    if (index_) rebuildIndex();
}

std::vector<std::u16string> KLVPPropertyMap::allNames() const {
    std::vector<std::u16string> names;
    names.reserve(count_);
    forEachEntry([&](const std::u16string& name, const KLVPValue&) { names.push_back(name); });
    return names;
}

void KLVPPropertyMap::mark(KLVPMarkList& list) const {
    for (const Entry& entry : entries_) {
        list.countBytes(KLVPPropertyBytes(entry.name.size()));
        if (entry.value) list.markValue(entry.value);
    }
}

void KLVPPropertyMap::removeAll() {
    std::vector<Entry> entries = std::move(entries_);
    entries_.clear();
    index_.reset();
    count_ = 0;
    for (Entry& entry : entries)
        KLVPRelease(std::move(entry.value));
}

}  // namespace engine
