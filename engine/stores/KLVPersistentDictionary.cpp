#include "engine/stores/KLVPersistentDictionary.h"

#include <utility>

#include "engine/stores/KLVFileLocations.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"

namespace engine {

using platform::Object;

namespace {

constexpr double kPersistDelaySeconds = 1.0;

// A missing file is an empty dictionary, as is one that cannot be read; the latter is logged
// so that the loss is visible.
platform::Dictionary readContent(const std::filesystem::path& fileURL) {
    platform::removeStaleTemporaryFiles(fileURL);  // left by a write the process died in
    if (!platform::fileExists(fileURL)) return {};
    platform::Error error;
    auto content = platform::readPropertyListFile(fileURL, &error);
    if (content && content->isDictionary()) return content->asDictionary();
    platform::WDLOSLogError(kKLVLogSubsystem, kKLVDefaultLogTag, false, KLVMessageCodeText(43005),
                            "Cannot read config plist file. Starting empty. Error %@",
                            content ? std::string("not a dictionary") : error.description);
    return {};
}

}  // namespace

std::shared_ptr<KLVPersistentDictionary> KLVPersistentDictionary::initWithFileName(
    std::string_view name) {
    if (name.empty()) return nullptr;
    const std::string path = KLVMeasurementPlistPath(name);
    if (path.empty()) return nullptr;
    const std::filesystem::path fileURL(path);
    if (!platform::createDirectories(fileURL.parent_path())) {
        logError(43004, "Cannot create subdirectories for config plist files.");
        return nullptr;
    }
    return std::make_shared<KLVPersistentDictionary>(Key{}, fileURL, readContent(fileURL));
}

KLVPersistentDictionary::KLVPersistentDictionary(Key, std::filesystem::path fileURL,
                                                 platform::Dictionary content)
    : fileURL_(std::move(fileURL)),
      content_(std::move(content)),
      serialQueue_(std::make_unique<platform::SerialQueue>(kKLVPersistentDictionaryQueueLabel)) {}

KLVPersistentDictionary::~KLVPersistentDictionary() {
    platform::Dictionary snapshot;
    {
        std::lock_guard lock(lock_);
        if (!hasUnsavedContentLocked()) return;
        cancelPendingWriteLocked();
        snapshot = content_;
    }
    writeSnapshot(snapshot);
}

Object KLVPersistentDictionary::objectForKey(std::string_view key) const {
    if (key.empty()) {
        logWarning(43001, "Cannot get object for invalid config key.");
        return Object();
    }
    std::lock_guard lock(lock_);
    const auto it = content_.find(key);
    return it == content_.end() ? Object() : it->second;
}

bool KLVPersistentDictionary::setObject(const Object& value, std::string_view key) {
    if (key.empty()) {
        logWarning(43002, "Cannot set object for invalid config key.");
        return false;
    }
    if (value.isNull()) {
        std::lock_guard lock(lock_);
        if (const auto it = content_.find(key); it != content_.end()) {
            content_.erase(it);
            schedulePersistToDisk();
        }
        return true;
    }
    if (!platform::isValidPropertyList(value)) {
        logWarning(43003,
                   "Cannot set invalid object to config. Must be a string, number, array, "
                   "dictionary, date, or data. Value %@",
                   value);
        return false;
    }
    std::lock_guard lock(lock_);
    const auto it = content_.find(key);
    if (it != content_.end() && it->second == value) return true;
    content_.insert_or_assign(std::string(key), value);
    schedulePersistToDisk();
    return true;
}

void KLVPersistentDictionary::clearAllData() {
    std::lock_guard lock(lock_);
    if (content_.empty()) return;
    content_.clear();
    schedulePersistToDisk();
}

void KLVPersistentDictionary::synchronize() {
    {
        std::lock_guard lock(lock_);
        if (!hasUnsavedContentLocked()) return;
        cancelPendingWriteLocked();
    }
    // Through the queue, so that this write is ordered with any write already running there.
    serialQueue_->sync([this] { persistToDisk(); });
}

void KLVPersistentDictionary::schedulePersistToDisk() {
    std::lock_guard lock(lock_);
    if (hasPendingPersistence_) return;
    hasPendingPersistence_ = true;
    std::weak_ptr<KLVPersistentDictionary> weakSelf = weak_from_this();
    pendingWrite_ = serialQueue_->after(kPersistDelaySeconds, [weakSelf] {
        if (auto self = weakSelf.lock()) self->persistToDisk();
    });
}

void KLVPersistentDictionary::persistToDisk() {
    platform::Dictionary snapshot;
    {
        std::lock_guard lock(lock_);
        snapshot = content_;
        hasPendingPersistence_ = false;
        pendingWrite_.reset();
    }
    const bool written = writeSnapshot(snapshot);
    // Writes run one at a time on the queue, so the latest one decides.
    std::lock_guard lock(lock_);
    lastWriteFailed_ = !written;
}

bool KLVPersistentDictionary::hasPendingPersistence() const {
    std::lock_guard lock(lock_);
    return hasPendingPersistence_;
}

void KLVPersistentDictionary::cancelPendingWriteLocked() {
    if (pendingWrite_) pendingWrite_->cancel();
    pendingWrite_.reset();
    hasPendingPersistence_ = false;
}

bool KLVPersistentDictionary::writeSnapshot(const platform::Dictionary& snapshot) const {
    platform::Error error;
    if (platform::writePropertyListFile(fileURL_, Object(snapshot),
                                        platform::PropertyListFormat::Binary, &error)) {
        return true;
    }
    logError(43000, "Cannot persist configs to disk");
    return false;
}

}  // namespace engine
