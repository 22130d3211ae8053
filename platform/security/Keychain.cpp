#include "platform/security/Keychain.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SharedInstance.h"

namespace platform {

namespace {

// What a dictionary key is, which decides where a call accepts it and what it may hold.
enum class KeyKind : unsigned { Class, Attribute, Value, Search, Return };

constexpr struct {
    std::string_view key;
    KeyKind kind;
} kKeys[] = {
    {kSecClass, KeyKind::Class},
    {kSecAttrService, KeyKind::Attribute},
    {kSecAttrAccount, KeyKind::Attribute},
    {kSecAttrGeneric, KeyKind::Attribute},
    {kSecAttrAccessible, KeyKind::Attribute},
    {kSecValueData, KeyKind::Value},
    {kSecMatchLimit, KeyKind::Search},
    {kSecReturnData, KeyKind::Return},
    {kSecReturnAttributes, KeyKind::Return},
};

constexpr std::string_view kClasses[] = {kSecClassGenericPassword};
constexpr std::string_view kAccessibilities[] = {kSecAttrAccessibleAlwaysThisDeviceOnly};
constexpr std::string_view kMatchLimits[] = {kSecMatchLimitOne, kSecMatchLimitAll};

constexpr unsigned bit(KeyKind kind) {
    return 1u << static_cast<unsigned>(kind);
}

// The kinds of key each call accepts.
constexpr unsigned kAddKeys =
    bit(KeyKind::Class) | bit(KeyKind::Attribute) | bit(KeyKind::Value) | bit(KeyKind::Return);
constexpr unsigned kCopyKeys =
    bit(KeyKind::Class) | bit(KeyKind::Attribute) | bit(KeyKind::Search) | bit(KeyKind::Return);
constexpr unsigned kQueryKeys = bit(KeyKind::Class) | bit(KeyKind::Attribute);
constexpr unsigned kUpdateKeys = bit(KeyKind::Attribute) | bit(KeyKind::Value);

// The primary key of a generic password; an absent part counts as empty.
constexpr std::string_view kPrimaryKey[] = {kSecClass, kSecAttrService, kSecAttrAccount};

// Store file layout.
constexpr char kFileVersionKey[] = "version";
constexpr char kFileItemsKey[] = "items";
constexpr std::int64_t kFileVersion = 1;
constexpr char kDamagedSuffix[] = ".corrupt";
constexpr char kLockSuffix[] = ".lock";

std::optional<KeyKind> kindOf(std::string_view key) {
    for (const auto& entry : kKeys) {
        if (entry.key == key) return entry.kind;
    }
    return std::nullopt;
}

template <std::size_t N>
bool isOneOf(const Object& value, const std::string_view (&allowed)[N]) {
    const std::string* text = value.getString();
    return text && std::find(std::begin(allowed), std::end(allowed), *text) != std::end(allowed);
}

// The bytes of a string or data attribute.
std::optional<std::string_view> bytesOf(const Object& value) {
    if (const std::string* text = value.getString()) return std::string_view(*text);
    if (const Data* data = value.getData()) {
        return std::string_view(reinterpret_cast<const char*>(data->data()), data->size());
    }
    return std::nullopt;
}

bool validValue(std::string_view key, KeyKind kind, const Object& value) {
    switch (kind) {
        case KeyKind::Class:
            return isOneOf(value, kClasses);
        case KeyKind::Attribute:
            return key == kSecAttrAccessible ? isOneOf(value, kAccessibilities)
                                             : bytesOf(value).has_value();
        case KeyKind::Value:
            return value.isData();
        case KeyKind::Search:
            return isOneOf(value, kMatchLimits);
        case KeyKind::Return:
            return value.isBool();
    }
    return false;
}

bool isValid(const Dictionary& dictionary, unsigned allowedKinds, bool needsClass) {
    if (needsClass && !dictionary.contains(kSecClass)) return false;
    return std::all_of(dictionary.begin(), dictionary.end(), [&](const auto& entry) {
        const auto kind = kindOf(entry.first);
        return kind && (allowedKinds & bit(*kind)) && validValue(entry.first, *kind, entry.second);
    });
}

bool isTrue(const Dictionary& dictionary, std::string_view key) {
    const auto found = dictionary.find(key);
    return found != dictionary.end() && found->second == Object(true);
}

struct Item {
    Dictionary attributes;  // the class included
    Data data;
};

std::string_view primaryPart(const Item& item, std::string_view key) {
    const auto found = item.attributes.find(key);
    return found == item.attributes.end() ? std::string_view() : *bytesOf(found->second);
}

bool samePrimaryKey(const Item& a, const Item& b) {
    return std::all_of(std::begin(kPrimaryKey), std::end(kPrimaryKey), [&](std::string_view key) {
        return primaryPart(a, key) == primaryPart(b, key);
    });
}

bool matches(const Item& item, const Dictionary& query) {
    return std::all_of(query.begin(), query.end(), [&](const auto& entry) {
        const auto kind = kindOf(entry.first);
        if (kind != KeyKind::Class && kind != KeyKind::Attribute) return true;
        const auto found = item.attributes.find(entry.first);
        return found != item.attributes.end() && bytesOf(found->second) == bytesOf(entry.second);
    });
}

// Applies the class, attributes and data of validated `changes` to an item.
void apply(Item& item, const Dictionary& changes) {
    for (const auto& [key, value] : changes) {
        const auto kind = kindOf(key);
        if (kind == KeyKind::Value) {
            item.data = value.asData();
        } else if (kind == KeyKind::Class || kind == KeyKind::Attribute) {
            item.attributes[key] = value;
        }
    }
}

bool hasDuplicates(const std::vector<Item>& items) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        for (std::size_t j = i + 1; j < items.size(); ++j) {
            if (samePrimaryKey(items[i], items[j])) return true;
        }
    }
    return false;
}

Object resultFor(const Item& item, const Dictionary& query) {
    const bool wantsData = isTrue(query, kSecReturnData);
    if (!isTrue(query, kSecReturnAttributes)) return wantsData ? Object(item.data) : Object();
    Dictionary attributes = item.attributes;
    if (wantsData) attributes[kSecValueData] = item.data;
    return attributes;
}

bool wantsAll(const Dictionary& query) {
    const auto found = query.find(kSecMatchLimit);
    return found != query.end() && found->second == Object(kSecMatchLimitAll);
}

Object fileContent(const std::vector<Item>& items) {
    Array entries;
    for (const Item& item : items) {
        Dictionary entry = item.attributes;
        entry[kSecValueData] = item.data;
        entries.emplace_back(std::move(entry));
    }
    return Object::dict({{kFileVersionKey, kFileVersion}, {kFileItemsKey, std::move(entries)}});
}

std::optional<std::vector<Item>> decodeItems(const Data& bytes) {
    const auto file = readPropertyList(bytes);
    if (!file || (*file)[kFileVersionKey] != Object(kFileVersion)) return std::nullopt;
    const Array* entries = (*file)[kFileItemsKey].getArray();
    if (!entries) return std::nullopt;
    std::vector<Item> items;
    for (const Object& entry : *entries) {
        const Dictionary* attributes = entry.getDictionary();
        if (!attributes || !attributes->contains(kSecValueData) ||
            !isValid(*attributes, kAddKeys & ~bit(KeyKind::Return), true)) {
            return std::nullopt;
        }
        Item item;
        apply(item, *attributes);
        items.push_back(std::move(item));
    }
    if (hasDuplicates(items)) return std::nullopt;
    return items;
}

}  // namespace

struct Keychain::Store {
    std::filesystem::path file;
    std::mutex mutex;
    bool loaded = false;
    bool swept = false;
    bool undecodable = false;
    FileSignature signature;  // of the file last read or written
    std::vector<Item> items;

    // Brings the items up to date with the file: read on first use and again whenever another
    // process (or another store object) replaced it. A read failure is retried on the next call.
    // A file that does not decode is set aside as ".corrupt", kept for someone to look at, and
    // the store starts empty; only when it cannot be moved does the store stay closed.
    OSStatus load() {
        if (undecodable) return errSecDecode;
        if (!swept) {
            removeStaleTemporaryFiles(file);
            swept = true;
        }
        const FileSignature current = fileSignature(file);
        if (loaded && current == signature) return errSecSuccess;
        if (!current.exists) {
            items.clear();
            signature = current;
            loaded = true;
            return errSecSuccess;
        }
        Error error;
        const auto bytes = readFile(file, &error);
        if (!bytes) {
            systemLog("Keychain: cannot read " + file.string() + ": " + error.description);
            return errSecIO;
        }
        auto decoded = decodeItems(*bytes);
        if (!decoded) return setAside();
        items = std::move(*decoded);
        signature = current;
        loaded = true;
        return errSecSuccess;
    }

    OSStatus setAside() {
        const auto aside = std::filesystem::path(file.string() + kDamagedSuffix);
        std::error_code ec;
        std::filesystem::rename(file, aside, ec);
        if (ec) {
            systemLog("Keychain: " + file.string() + " does not decode and cannot be moved (" +
                      ec.message() + "); it is left untouched");
            undecodable = true;
            return errSecDecode;
        }
        systemLog("Keychain: " + file.string() + " does not decode; kept as " +
                  aside.filename().string() + ", starting empty");
        items.clear();
        signature = fileSignature(file);
        loaded = true;
        return errSecSuccess;
    }

    // Loads under the lock every writer of the file takes, so that a change made in between by
    // another process is read before this one is laid over it. `fileLock` holds the lock.
    OSStatus loadForChange(std::optional<FileLock>& fileLock) {
        Error error;
        if (!createDirectories(file.parent_path(), &error) ||
            !fileLock.emplace(std::filesystem::path(file.string() + kLockSuffix), &error)
                 .locked()) {
            systemLog("Keychain: cannot lock " + file.string() + ": " + error.description);
            return errSecIO;
        }
        return load();
    }

    // Writes `next` and makes it the store's content; on failure nothing changes. Called under
    // the file lock, so no other writer can replace the file before its signature is taken.
    OSStatus commit(std::vector<Item> next) {
        Error error;
        if (!writePropertyListFile(file, fileContent(next), PropertyListFormat::Binary, &error)) {
            systemLog("Keychain: cannot write " + file.string() + ": " + error.description);
            return errSecIO;
        }
        std::error_code ignored;
        std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all,
                                     ignored);
        items = std::move(next);
        signature = fileSignature(file);
        return errSecSuccess;
    }
};

Keychain::Keychain(std::filesystem::path file) : store_(std::make_unique<Store>()) {
    store_->file = std::move(file);
}

Keychain::Keychain() : Keychain(defaultPath()) {}

Keychain::~Keychain() = default;

Keychain& Keychain::shared() {
    return SharedInstance<Keychain>::get();
}

std::filesystem::path Keychain::defaultPath() {
    return libraryDirectory() / "Keychains" / "keychain.plist";
}

OSStatus Keychain::add(const Dictionary& attributes, Object* result) {
    std::lock_guard lock(store_->mutex);
    std::optional<FileLock> fileLock;
    if (const OSStatus status = store_->loadForChange(fileLock); status != errSecSuccess) {
        return status;
    }
    if (!isValid(attributes, kAddKeys, true)) return errSecParam;
    Item item;
    apply(item, attributes);
    const bool taken = std::any_of(store_->items.begin(), store_->items.end(),
                                   [&](const Item& other) { return samePrimaryKey(item, other); });
    if (taken) return errSecDuplicateItem;
    std::vector<Item> next = store_->items;
    next.push_back(item);
    const OSStatus status = store_->commit(std::move(next));
    if (status == errSecSuccess && result) *result = resultFor(item, attributes);
    return status;
}

OSStatus Keychain::copyMatching(const Dictionary& query, Object* result) {
    std::lock_guard lock(store_->mutex);
    if (const OSStatus status = store_->load(); status != errSecSuccess) return status;
    if (!isValid(query, kCopyKeys, true)) return errSecParam;
    Array found;
    for (const Item& item : store_->items) {
        if (!matches(item, query)) continue;
        found.push_back(resultFor(item, query));
        if (!wantsAll(query)) break;
    }
    if (found.empty()) return errSecItemNotFound;
    if (!result) return errSecSuccess;
    const bool wantsNothing =
        !isTrue(query, kSecReturnData) && !isTrue(query, kSecReturnAttributes);
    if (wantsNothing) {
        *result = Object();
    } else if (wantsAll(query)) {
        *result = std::move(found);
    } else {
        *result = std::move(found.front());
    }
    return errSecSuccess;
}

OSStatus Keychain::update(const Dictionary& query, const Dictionary& attributesToUpdate) {
    std::lock_guard lock(store_->mutex);
    std::optional<FileLock> fileLock;
    if (const OSStatus status = store_->loadForChange(fileLock); status != errSecSuccess) {
        return status;
    }
    if (!isValid(query, kQueryKeys, true) || attributesToUpdate.empty() ||
        !isValid(attributesToUpdate, kUpdateKeys, false)) {
        return errSecParam;
    }
    std::vector<Item> next = store_->items;
    bool any = false;
    for (Item& item : next) {
        if (!matches(item, query)) continue;
        apply(item, attributesToUpdate);
        any = true;
    }
    if (!any) return errSecItemNotFound;
    if (hasDuplicates(next)) return errSecDuplicateItem;
    return store_->commit(std::move(next));
}

OSStatus Keychain::deleteItems(const Dictionary& query) {
    std::lock_guard lock(store_->mutex);
    std::optional<FileLock> fileLock;
    if (const OSStatus status = store_->loadForChange(fileLock); status != errSecSuccess) {
        return status;
    }
    if (!isValid(query, kQueryKeys, true)) return errSecParam;
    std::vector<Item> next = store_->items;
    const auto removed =
        std::erase_if(next, [&](const Item& item) { return matches(item, query); });
    if (removed == 0) return errSecItemNotFound;
    return store_->commit(std::move(next));
}

OSStatus SecItemAdd(const Dictionary& attributes, Object* result) {
    return Keychain::shared().add(attributes, result);
}

OSStatus SecItemCopyMatching(const Dictionary& query, Object* result) {
    return Keychain::shared().copyMatching(query, result);
}

OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate) {
    return Keychain::shared().update(query, attributesToUpdate);
}

OSStatus SecItemDelete(const Dictionary& query) {
    return Keychain::shared().deleteItems(query);
}

}  // namespace platform
