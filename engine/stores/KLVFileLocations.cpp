#include "engine/stores/KLVFileLocations.h"

#include <filesystem>
#include <system_error>

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVMonitor.h"
#include "platform/foundation/FileAttributes.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Paths.h"

namespace engine {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPlistExtension = ".plist";

bool hasPlistExtension(std::string_view name) {
    return name.size() >= kPlistExtension.size() &&
           name.substr(name.size() - kPlistExtension.size()) == kPlistExtension;
}

// What exists at a path: nothing, a file (or anything else that is not a directory), a
// directory.
enum class Entry { None, File, Directory };

Entry entryAt(const fs::path& path) {
    bool isDirectory = false;
    if (!platform::fileExists(path, &isDirectory)) return Entry::None;
    return isDirectory ? Entry::Directory : Entry::File;
}

// The platform's user defaults keep no search list of suites to remove the old one from: a suite
// is read only when asked for by name, and nothing asks for this one any more.
void removeSuiteFromSearchList(std::string_view) {}

}  // namespace

std::string KLVMeasurementFilePath(std::string_view name) {
    if (name.empty()) return {};
    const fs::path support = platform::applicationSupportDirectory();
    if (support.empty()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 19001,
                               "NSSearchPath for ApplicationSupport directory is empty");
        return {};
    }
    return (support / kKLVMeasurementDirectory / fs::path(name)).string();
}

std::string KLVMeasurementPlistPath(std::string_view name) {
    if (name.empty()) return {};
    if (hasPlistExtension(name)) return KLVMeasurementFilePath(name);
    return KLVMeasurementFilePath(std::string(name) + std::string(kPlistExtension));
}

std::string KLVPreferencesFilePath(std::string_view name) {
    if (name.empty()) return {};
    const fs::path library = platform::libraryDirectory();
    if (library.empty()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 19000,
                               "NSSearchPath for Library directory is empty");
        return {};
    }
    return (library / "Preferences" / (std::string(name) + std::string(kPlistExtension))).string();
}

bool KLVExcludePathFromBackup(std::string_view path, platform::Error* error) {
    return platform::FileAttributes::current()->setExcludedFromBackup(fs::path(path), true, error);
}

bool KLVDeleteFileAtPath(std::string_view path, platform::Error* error) {
    if (!KLVCheckNonZero(path.size(), error, kKLVErrorCodeBadArgument,
                         "Received empty path for deleting file")) {
        return false;
    }
    return platform::removeItem(fs::path(path), error);
}

bool KLVMigratePreferencesFile(std::string_view name) {
    if (name.empty()) return false;
    const std::string oldPath = KLVPreferencesFilePath(name);
    const std::string newPath = KLVMeasurementPlistPath(name);
    if (oldPath.empty() || newPath.empty()) return false;

    switch (entryAt(oldPath)) {
        case Entry::None:
            removeSuiteFromSearchList(name);
            return true;
        case Entry::Directory:
            return false;
        case Entry::File:
            break;
    }
    switch (entryAt(newPath)) {
        case Entry::None: {
            if (!platform::createDirectories(fs::path(newPath).parent_path())) return false;
            std::error_code ec;
            fs::rename(oldPath, newPath, ec);
            if (ec) return false;
            break;
        }
        case Entry::Directory:
            return false;
        case Entry::File:
            // The file already in the engine's directory is the newer one; the old one goes.
            if (!platform::removeItem(oldPath)) return false;
            break;
    }
    removeSuiteFromSearchList(name);
    return true;
}

}  // namespace engine
