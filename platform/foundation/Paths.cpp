#include "platform/foundation/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/ProcessInfo.h"

namespace platform {

namespace {

std::mutex& rootMutex() {
    static std::mutex m;
    return m;
}

std::filesystem::path& rootOverride() {
    static std::filesystem::path root;
    return root;
}

std::filesystem::path homeDirectory(const ProcessInfo& info) {
    if (auto home = info.environmentValue("HOME"); home && !home->empty()) return *home;
    std::vector<char> buffer(16 * 1024);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir) {
        return found->pw_dir;
    }
    // No home at all (a bare service account): keep the data per user under the temp folder.
    std::error_code ec;
    return std::filesystem::temp_directory_path(ec) / ("tessaline-" + std::to_string(::getuid()));
}

std::filesystem::path environmentRoot() {
    const ProcessInfo& info = ProcessInfo::processInfo();
    if (auto home = info.environmentValue("TESSALINE_HOME"); home && !home->empty()) {
        std::error_code ec;
        auto absolute = std::filesystem::absolute(*home, ec);
        return ec ? std::filesystem::path(*home) : absolute;
    }
    // XDG asks that a relative XDG_DATA_HOME be ignored.
    if (auto xdg = info.environmentValue("XDG_DATA_HOME");
        xdg && !xdg->empty() && std::filesystem::path(*xdg).is_absolute()) {
        return std::filesystem::path(*xdg) / "tessaline";
    }
    return homeDirectory(info) / ".local" / "share" / "tessaline";
}

std::filesystem::path created(std::filesystem::path directory) {
    Error error;
    if (!createDirectories(directory, &error)) {
        systemLog("Cannot create directory: " + error.description);
    }
    return directory;
}

}  // namespace

std::filesystem::path dataRoot() {
    {
        std::lock_guard lock(rootMutex());
        if (!rootOverride().empty()) return rootOverride();
    }
    return environmentRoot();
}

void setDataRoot(std::filesystem::path root) {
    std::lock_guard lock(rootMutex());
    rootOverride() = std::move(root);
}

std::filesystem::path libraryDirectory() {
    return created(dataRoot() / "Library");
}

std::filesystem::path applicationSupportDirectory() {
    return created(dataRoot() / "Library" / "Application Support");
}

std::filesystem::path preferencesDirectory() {
    return created(dataRoot() / "Library" / "Preferences");
}

std::filesystem::path cachesDirectory() {
    return created(dataRoot() / "Library" / "Caches");
}

std::filesystem::path documentsDirectory() {
    return created(dataRoot() / "Documents");
}

}  // namespace platform
