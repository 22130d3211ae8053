#include "engine/stores/KLVUserDefaults.h"

#include <utility>

#include "engine/stores/KLVFileLocations.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/SharedInstance.h"

namespace engine {

using platform::Object;

namespace {

std::string platformSuiteName(const std::optional<std::string>& suiteName) {
    return suiteName.value_or(std::string());
}

struct SharedEngineUserDefaults : KLVUserDefaults {
    SharedEngineUserDefaults() { setIsPreferenceFileExcluded(true); }
};

}  // namespace

KLVUserDefaults& KLVUserDefaults::sharedUserDefaults() {
    return platform::SharedInstance<SharedEngineUserDefaults>::get();
}

KLVUserDefaults::KLVUserDefaults(std::optional<std::string> suiteName)
    : suiteName_(suiteName && !suiteName->empty() ? std::move(suiteName) : std::nullopt),
      defaults_(platformSuiteName(suiteName_)) {}

Object KLVUserDefaults::objectForKey(std::string_view key) const {
    if (key.empty()) {
        logWarning(41001, "Cannot get object for invalid user default key.");
        return Object();
    }
    return defaults_.objectForKey(key);
}

bool KLVUserDefaults::setObject(const Object& value, std::string_view key) {
    if (key.empty()) {
        logWarning(41002, "Cannot set object for invalid user default key.");
        return false;
    }
    if (value.isNull()) {
        defaults_.removeObjectForKey(std::string(key));
        return true;
    }
    if (defaults_.setObject(value, std::string(key))) return true;
    logWarning(41003,
               "Cannot set invalid object to user defaults. Must be a string or number or an "
               "array. Value %@",
               value);
    return false;
}

void KLVUserDefaults::clearAllData() {
    defaults_.removePersistentDomainForName(platformSuiteName(suiteName_));
}

void KLVUserDefaults::synchronize() {
    if (!defaults_.synchronize()) logError(41004, "Cannot synchronize user defaults to disk");

    std::lock_guard lock(lock_);
    if (isPreferenceFileExcluded_) return;
    const std::string path = KLVPreferencesFilePath(platformSuiteName(suiteName_));
    // A file not written yet is tried again at the next synchronize.
    if (path.empty() || !platform::fileExists(path)) return;
    platform::Error error;
    if (KLVExcludePathFromBackup(path, &error)) {
        isPreferenceFileExcluded_ = true;
        return;
    }
    logWarning(41000, "Failed to exclude preferences file from backup. Error code %@",
               error.description);
}

bool KLVUserDefaults::isPreferenceFileExcluded() const {
    std::lock_guard lock(lock_);
    return isPreferenceFileExcluded_;
}

void KLVUserDefaults::setIsPreferenceFileExcluded(bool excluded) {
    std::lock_guard lock(lock_);
    isPreferenceFileExcluded_ = excluded;
}

}  // namespace engine
