#include "platform/foundation/UserDefaults.h"

#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/CocoaError.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/NoDestructor.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaultsWriter.h"

namespace platform {

namespace {

constexpr const char* kDefaultSuiteName = "tessaline";
constexpr const char* kDamagedSuffix = ".corrupt";

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
//
// A change updates `values` at once and is kept in `pending` until a write has put it on disk;
// the background writer then writes a snapshot of `values`, serialised outside the lock. One
// write of a suite runs at a time (`writing`), each from the newest snapshot, so an older snapshot
// never lands after a newer one; the generation of the snapshot tells which pending changes the
// write covered. When another process replaced the file, it is read again and the pending
// changes are laid over it, so neither side's changes are lost to the other's older copy.
struct UserDefaults::Suite : std::enable_shared_from_this<Suite> {
    // A change not yet known to be on disk: the key's new value (nullopt: removed) and the
    // generation it was made in.
    struct PendingChange {
        std::optional<Object> value;
        std::uint64_t generation = 0;
    };

    explicit Suite(std::string suiteName)
        : name(std::move(suiteName)), file(preferencesDirectory() / suiteFileName(name)) {
        removeStaleTemporaryFiles(file);
        std::lock_guard lock(mutex);
        loadLocked();
    }

    const Object* lookupLocked(std::string_view key) const {
        if (auto it = values.find(key); it != values.end()) return &it->second;
        if (auto it = registered.find(key); it != registered.end()) return &it->second;
        return nullptr;
    }

    void applyPendingLocked() {
        for (const auto& [key, change] : pending) {
            if (change.value) {
                values[key] = *change.value;
            } else {
                values.erase(key);
            }
        }
    }

    // Reads the file and lays the pending changes over it. A damaged one is moved aside (kept
    // for inspection, never overwritten silently) and the values in memory stay, to be written
    // anew. One that cannot be read at all is left alone and read again before the next change.
    void loadLocked() {
        signature = fileSignature(file);
        unreadable = false;
        if (!signature.exists) {
            values.clear();
            applyPendingLocked();
            return;
        }
        Error error;
        const auto object = readPropertyListFile(file, &error);
        if (object && object->isDictionary()) {
            values = object->asDictionary();
            applyPendingLocked();
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
        signature = fileSignature(file);
        ++generation;
        for (const auto& [key, value] : values) {
            pending[key] = {value, generation};
        }
    }

    // Picks up a file another process wrote: one stat, and a read only when the file is not the
    // one last read or written. Not while this process's own write is under way (the file
    // changes under it then, and the write records what it wrote).
    void refreshLocked() {
        if (writing) return;
        if (unreadable || fileSignature(file) != signature) loadLocked();
    }

    // False, and nothing changes, while the file cannot be read: writing then would replace
    // every value in it with the few this process holds.
    bool change(const std::string& key, std::optional<Object> value) {
        std::unique_lock lock(mutex);
        refreshLocked();
        if (unreadable) {
            systemLog("User defaults \"" + name + "\" left unchanged: their file cannot be read");
            return false;
        }
        ++generation;
        if (value) {
            values[key] = *value;
        } else {
            values.erase(key);
        }
        pending[key] = {std::move(value), generation};
        scheduleWriteLocked(lock);
        return true;
    }

    // One queued write covers every change made before it runs. Once the process exits, or
    // after the suite was dropped from the cache, the caller writes itself, as a change always
    // did before the writer existed.
    void scheduleWriteLocked(std::unique_lock<std::mutex>& lock) {
        if (writeScheduled) return;
        if (!detached &&
            userdefaults::scheduleWrite([self = shared_from_this()] { self->writeFromWriter(); })) {
            writeScheduled = true;
            return;
        }
        flushLocked(lock);
    }

    void writeFromWriter() {
        std::unique_lock lock(mutex);
        writeScheduled = false;
        flushLocked(lock);
    }

    // Writes what is pending once the write under way (if any) is done; it may have taken
    // everything already.
    void flushLocked(std::unique_lock<std::mutex>& lock) {
        writeDone.wait(lock, [this] { return !writing; });
        if (!pending.empty()) writePendingLocked(lock);
    }

    // Writes the values as they stand, after the write under way (if any) and after picking up
    // what another process wrote. True when the file holds every change made before the call.
    // Logs and keeps the changes when the write fails: the next change or synchronize() retries.
    bool writePendingLocked(std::unique_lock<std::mutex>& lock) {
        writeDone.wait(lock, [this] { return !writing; });
        refreshLocked();
        if (unreadable) return false;
        if (pending.empty()) return true;
        const Object snapshot(values);
        const std::uint64_t snapshotGeneration = generation;
        writing = true;
        lock.unlock();
        FileSignature written;
        Error error;
        bool ok = false;
        try {
            ok = writeSnapshot(snapshot, written, error);
        } catch (const std::exception& e) {  // out of memory: `writing` must still be cleared
            error.description = e.what();
        }
        lock.lock();
        writing = false;
        writeDone.notify_all();
        if (!ok) {
            systemLog("Cannot write user defaults \"" + name + "\": " + error.description);
            return false;
        }
        signature = written;
        std::erase_if(pending, [snapshotGeneration](const auto& entry) {
            return entry.second.generation <= snapshotGeneration;
        });
        return true;
    }

    // Outside the lock. `written` receives the signature of the new file, taken before the
    // rename (which keeps it), so that no later replacement is mistaken for this write.
    bool writeSnapshot(const Object& snapshot, FileSignature& written, Error& error) const {
        const auto bytes = writePropertyList(snapshot, PropertyListFormat::Binary, &error);
        if (!bytes || !createDirectories(file.parent_path(), &error)) return false;
        const std::string_view view(reinterpret_cast<const char*>(bytes->data()), bytes->size());
        return detail::writeFileAtomically(file, view, &error,
                                           [&written](const std::filesystem::path& temporary) {
                                               written = fileSignature(temporary);
                                               return true;
                                           });
    }

    // Waits for the write under way, so that it cannot bring the file back, then drops every
    // value and pending change and removes the file. When the file cannot be removed, the keys
    // it held become pending removals for the next write.
    void removeAll() {
        std::unique_lock lock(mutex);
        writeDone.wait(lock, [this] { return !writing; });
        const Dictionary removed = std::exchange(values, {});
        pending.clear();
        ++generation;
        unreadable = false;
        Error error;
        if (fileExists(file) && !removeItem(file, &error)) {
            systemLog("Cannot remove user defaults \"" + name + "\": " + error.description);
            for (const auto& entry : removed) {
                pending[entry.first] = {std::nullopt, generation};
            }
        }
        signature = fileSignature(file);
    }

    // The suite leaves the cache (resetSharedInstances): what is pending is written now, and
    // later changes through objects that outlive the reset are written by their caller.
    void detach() {
        std::unique_lock lock(mutex);
        detached = true;
        flushLocked(lock);
    }

    const std::string name;
    const std::filesystem::path file;
    mutable std::mutex mutex;
    std::condition_variable writeDone;
    Dictionary values;
    Dictionary registered;
    std::map<std::string, PendingChange, std::less<>> pending;
    std::uint64_t generation = 0;  // counts changes to `values`
    FileSignature signature;       // of the file last read or written
    bool unreadable = false;       // the file exists but the last read of it failed
    bool writing = false;          // a write of this suite runs outside the lock
    bool writeScheduled = false;   // the writer holds a job for this suite that has not started
    bool detached = false;         // dropped from the cache: changes are written by the caller
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
    // Never destroyed: queue workers may still reach a suite while the process exits.
    static NoDestructor<std::mutex> mutex;
    static NoDestructor<Cache> cache;
    static std::once_flag registered;
    std::call_once(registered, [] {
        registerSharedReset("UserDefaults suites", [] {
            Cache dropped;
            {
                std::lock_guard lock(mutex.get());
                dropped.swap(cache.get());
            }
            // What is pending goes to the old data root before the next test may delete it.
            for (const auto& entry : dropped) {
                entry.second->detach();
            }
            userdefaults::waitUntilIdle();
        });
    });
    std::lock_guard lock(mutex.get());
    auto& slot = cache.get()[name];
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
    return suite_->change(key, value);
}

void UserDefaults::removeObjectForKey(const std::string& key) {
    suite_->change(key, std::nullopt);
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
    std::unique_lock lock(suite_->mutex);
    return suite_->writePendingLocked(lock);
}

void UserDefaults::removePersistentDomainForName(const std::string& suiteName) {
    suiteNamed(resolvedSuiteName(suiteName))->removeAll();
}

Dictionary UserDefaults::dictionaryRepresentation() const {
    std::lock_guard lock(suite_->mutex);
    Dictionary merged = suite_->values;
    merged.insert(suite_->registered.begin(), suite_->registered.end());  // keeps stored values
    return merged;
}

}  // namespace platform
