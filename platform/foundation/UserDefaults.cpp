#include "platform/foundation/UserDefaults.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/CocoaError.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/Text.h"

namespace platform {

namespace {

constexpr const char* kDefaultSuiteName = "tessaline";
constexpr const char* kDamagedSuffix = ".corrupt";

// What identifies one version of a file, to notice that another process replaced it.
struct FileSignature {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedNanoseconds = 0;
    friend bool operator==(const FileSignature&, const FileSignature&) = default;
};

FileSignature signatureOf(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    return {true, info.st_dev, info.st_ino, info.st_size,
            std::int64_t(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

bool isPlainFileNameCharacter(char c, bool first) {
    const bool alphanumeric =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    return alphanumeric || c == '-' || c == '_' || (c == '.' && !first);
}

// Suite names become file names: anything that could leave the folder or hide the file is
// %-escaped, so "../x" and "a/b" stay inside Preferences and distinct.
std::string suiteFileName(std::string_view suite) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string name;
    for (std::size_t i = 0; i < suite.size(); ++i) {
        const char c = suite[i];
        if (isPlainFileNameCharacter(c, i == 0)) {
            name += c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        name += '%';
        name += kHex[byte >> 4];
        name += kHex[byte & 0x0F];
    }
    return name + ".plist";
}

std::string_view withoutLeadingSpace(std::string_view text) {
    const auto start = text.find_first_not_of(" \t\n\r\f\v");
    return start == std::string_view::npos ? std::string_view{} : text.substr(start);
}

// The phone's string-to-number rule: optional space and sign, then as many characters as form a
// number; what follows is ignored.
std::string_view numberPrefix(std::string_view text, bool& negative) {
    text = withoutLeadingSpace(text);
    negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    return text;
}

std::optional<std::int64_t> leadingInteger(std::string_view text) {
    bool negative = false;
    text = numberPrefix(text, negative);
    if (text.empty() || text.front() == '-') return std::nullopt;
    std::uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (ec == std::errc::invalid_argument) return std::nullopt;
    constexpr std::uint64_t kMax = std::uint64_t(INT64_MAX);
    if (ec == std::errc::result_out_of_range || magnitude > kMax + (negative ? 1 : 0)) {
        return negative ? INT64_MIN : INT64_MAX;  // saturates, as the phone does
    }
    return negative ? std::int64_t(0 - magnitude) : std::int64_t(magnitude);
}

std::optional<double> leadingNumber(std::string_view text) {
    bool negative = false;
    text = numberPrefix(text, negative);
    if (text.empty() || text.front() == '-') return std::nullopt;
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc()) return std::nullopt;
    return negative ? -value : value;
}

std::string numberText(const Object& number) {
    char buffer[64];
    std::to_chars_result result{};
    if (const auto* b = number.getBool()) return *b ? "1" : "0";
    if (const auto* i = number.getInteger()) {
        result = std::to_chars(buffer, buffer + sizeof buffer, *i);
    } else {
        result = std::to_chars(buffer, buffer + sizeof buffer, number.asDouble());
    }
    return std::string(buffer, result.ptr);
}

// The value when it is of kind T (read through `getter`), else nullopt.
template <typename T>
std::optional<T> valueOfKind(const Object& value, const T* (Object::*getter)() const) {
    if (const T* found = (value.*getter)()) return *found;
    return std::nullopt;
}

struct BoolWord {
    const char* word;
    bool value;
};
constexpr BoolWord kBoolWords[] = {{"yes", true}, {"true", true}, {"no", false}, {"false", false}};

bool stringBool(std::string_view text) {
    const auto trimmed = withoutLeadingSpace(text);
    for (const auto& entry : kBoolWords) {
        if (equalsIgnoringASCIICase(trimmed, entry.word)) return entry.value;
    }
    return leadingInteger(trimmed).value_or(0) != 0;
}

}  // namespace

// The state of one suite, shared by every UserDefaults object of that suite in the process.
struct UserDefaults::Suite {
    explicit Suite(std::string suiteName)
        : name(std::move(suiteName)), file(preferencesDirectory() / suiteFileName(name)) {
        std::lock_guard lock(mutex);
        loadLocked();
    }

    const Object* lookupLocked(std::string_view key) const {
        if (auto it = values.find(key); it != values.end()) return &it->second;
        if (auto it = registered.find(key); it != registered.end()) return &it->second;
        return nullptr;
    }

    // Reads the file. A damaged one is moved aside (kept for inspection, never overwritten
    // silently) and the values in memory stay, to be written anew. One that cannot be read at
    // all is left alone and read again before the next change.
    void loadLocked() {
        signature = signatureOf(file);
        unreadable = false;
        if (!signature.exists) {
            values.clear();
            return;
        }
        Error error;
        const auto object = readPropertyListFile(file, &error);
        if (object && object->isDictionary()) {
            values = object->asDictionary();
            dirty = false;
            return;
        }
        if (!object && error.code != kPropertyListReadCorruptError) {
            systemLog("Cannot read user defaults \"" + name + "\": " + error.description);
            unreadable = true;
            return;
        }
        const auto aside = std::filesystem::path(file.string() + kDamagedSuffix);
        std::error_code ec;
        std::filesystem::rename(file, aside, ec);
        systemLog("User defaults \"" + name + "\" were damaged (" +
                  (object ? std::string("not a dictionary") : error.description) + "); kept as " +
                  aside.filename().string());
        signature = signatureOf(file);
        dirty = !values.empty();
    }

    // Picks up a file another process wrote, unless this process holds unsaved changes.
    void refreshLocked() {
        if (!dirty && (unreadable || signatureOf(file) != signature)) loadLocked();
    }

    bool persistLocked() {
        Error error;
        const bool written =
            createDirectories(file.parent_path(), &error) &&
            writePropertyListFile(file, Object(values), PropertyListFormat::Binary, &error);
        if (!written) {
            dirty = true;
            systemLog("Cannot write user defaults \"" + name + "\": " + error.description);
            return false;
        }
        dirty = false;
        signature = signatureOf(file);
        return true;
    }

    // False, and nothing changes, while the file cannot be read: writing then would replace
    // every value in it with the few this process holds.
    template <typename Change>
    bool change(Change&& apply) {
        std::lock_guard lock(mutex);
        refreshLocked();
        if (unreadable) {
            systemLog("User defaults \"" + name + "\" left unchanged: their file cannot be read");
            return false;
        }
        apply(values);
        persistLocked();  // a failed write is logged, kept and retried
        return true;
    }

    const std::string name;
    const std::filesystem::path file;
    mutable std::mutex mutex;
    Dictionary values;
    Dictionary registered;
    FileSignature signature;
    bool dirty = false;       // values hold changes that are not on disk
    bool unreadable = false;  // the file exists but the last read of it failed
};

namespace {

std::string resolvedSuiteName(std::string name) {
    return name.empty() ? UserDefaults::standardSuiteName() : name;
}

struct StandardUserDefaults : UserDefaults {
    StandardUserDefaults() : UserDefaults("") {}
};

}  // namespace

UserDefaults& UserDefaults::standardUserDefaults() {
    return SharedInstance<StandardUserDefaults>::get();
}

std::string UserDefaults::standardSuiteName() {
    auto identifier = Bundle::mainBundle().bundleIdentifier();
    return identifier.empty() ? kDefaultSuiteName : identifier;
}

// One state per suite name; dropped by resetSharedInstances() so that the next use reads the
// (possibly new) data root.
std::shared_ptr<UserDefaults::Suite> UserDefaults::suiteNamed(const std::string& name) {
    using Cache = std::map<std::string, std::shared_ptr<Suite>, std::less<>>;
    static std::mutex mutex;
    static Cache cache;
    static std::once_flag registered;
    std::call_once(registered, [] {
        registerSharedReset("UserDefaults suites", [] {
            Cache dropped;
            std::lock_guard lock(mutex);
            dropped.swap(cache);
        });
    });
    std::lock_guard lock(mutex);
    auto& slot = cache[name];
    if (!slot) slot = std::make_shared<Suite>(name);
    return slot;
}

UserDefaults::UserDefaults(std::string suiteName)
    : suite_(suiteNamed(resolvedSuiteName(std::move(suiteName)))) {}

const std::string& UserDefaults::suiteName() const {
    return suite_->name;
}

Object UserDefaults::objectForKey(std::string_view key) const {
    std::lock_guard lock(suite_->mutex);
    const Object* value = suite_->lookupLocked(key);
    return value ? *value : Object();
}

bool UserDefaults::setObject(const Object& value, const std::string& key) {
    if (value.isNull()) {
        removeObjectForKey(key);
        return true;
    }
    Error error;
    if (!isValidPropertyList(Object(key), &error) || !isValidPropertyList(value, &error)) {
        systemLog("Cannot store \"" + toValidUTF8(key) +
                  "\" in user defaults: " + error.description);
        return false;
    }
    return suite_->change([&](Dictionary& values) { values[key] = value; });
}

void UserDefaults::removeObjectForKey(const std::string& key) {
    suite_->change([&](Dictionary& values) { values.erase(key); });
}

void UserDefaults::setBool(bool value, const std::string& key) {
    setObject(Object(value), key);
}

void UserDefaults::setInteger(std::int64_t value, const std::string& key) {
    setObject(Object(value), key);
}

void UserDefaults::setDouble(double value, const std::string& key) {
    setObject(Object(value), key);
}

bool UserDefaults::boolForKey(std::string_view key) const {
    const Object value = objectForKey(key);
    if (const auto* text = value.getString()) return stringBool(*text);
    const auto number = value.numberAsDouble();
    return number && *number != 0;
}

std::int64_t UserDefaults::integerForKey(std::string_view key) const {
    const Object value = objectForKey(key);
    if (const auto* text = value.getString()) return leadingInteger(*text).value_or(0);
    return value.numberAsInteger().value_or(0);
}

double UserDefaults::doubleForKey(std::string_view key) const {
    const Object value = objectForKey(key);
    if (const auto* text = value.getString()) return leadingNumber(*text).value_or(0);
    return value.numberAsDouble().value_or(0);
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    const Object value = objectForKey(key);
    if (const auto* text = value.getString()) return *text;
    if (value.isNumber()) return numberText(value);
    return std::nullopt;
}

std::optional<Array> UserDefaults::arrayForKey(std::string_view key) const {
    return valueOfKind<Array>(objectForKey(key), &Object::getArray);
}

std::optional<Dictionary> UserDefaults::dictionaryForKey(std::string_view key) const {
    return valueOfKind<Dictionary>(objectForKey(key), &Object::getDictionary);
}

std::optional<Data> UserDefaults::dataForKey(std::string_view key) const {
    return valueOfKind<Data>(objectForKey(key), &Object::getData);
}

std::optional<Date> UserDefaults::dateForKey(std::string_view key) const {
    return valueOfKind<Date>(objectForKey(key), &Object::getDate);
}

void UserDefaults::registerDefaults(const Dictionary& defaults) {
    std::lock_guard lock(suite_->mutex);
    for (const auto& [key, value] : defaults) {
        suite_->registered[key] = value;
    }
}

bool UserDefaults::synchronize() {
    std::lock_guard lock(suite_->mutex);
    if (suite_->dirty) return suite_->persistLocked();
    suite_->refreshLocked();
    return !suite_->unreadable;
}

void UserDefaults::removePersistentDomainForName(const std::string& suiteName) {
    const auto suite = suiteNamed(resolvedSuiteName(suiteName));
    std::lock_guard lock(suite->mutex);
    suite->values.clear();
    suite->unreadable = false;
    Error error;
    if (fileExists(suite->file) && !removeItem(suite->file, &error)) {
        systemLog("Cannot remove user defaults \"" + suite->name + "\": " + error.description);
        suite->dirty = true;  // the next write replaces the file with the empty suite
    } else {
        suite->dirty = false;
    }
    suite->signature = signatureOf(suite->file);
}

Dictionary UserDefaults::dictionaryRepresentation() const {
    std::lock_guard lock(suite_->mutex);
    Dictionary merged = suite_->values;
    merged.insert(suite_->registered.begin(), suite_->registered.end());  // keeps stored values
    return merged;
}

}  // namespace platform
