#include "platform/foundation/Bundle.h"

#include <map>
#include <mutex>
#include <utility>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/NoDestructor.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/StringsFile.h"

namespace platform {

namespace {

constexpr const char* kDefaultTable = "Localizable";

Dictionary readInfoDictionary(const std::filesystem::path& directory) {
    const auto file = directory / "Info.plist";
    if (!fileExists(file)) return {};
    Error error;
    const auto info = readPropertyListFile(file, &error);
    if (!info) {
        systemLog("Cannot read " + file.string() + ": " + error.description);
        return {};
    }
    if (!info->isDictionary()) {
        systemLog("Ignoring " + file.string() + ": its root is not a dictionary");
        return {};
    }
    return info->asDictionary();
}

// A resource name that would lead out of the resource directory finds nothing.
bool staysInside(const std::filesystem::path& relative) {
    if (relative.empty() || relative.is_absolute()) return false;
    for (const auto& part : relative) {
        if (part == "..") return false;
    }
    return true;
}

}  // namespace

struct Bundle::Impl {
    std::filesystem::path directory;
    Dictionary info;
    std::mutex tablesMutex;
    std::map<std::string, std::shared_ptr<const StringsTable>, std::less<>> tables;

    std::shared_ptr<const StringsTable> table(const std::string& name) {
        std::lock_guard lock(tablesMutex);
        auto& slot = tables[name];
        if (!slot) slot = std::make_shared<const StringsTable>(load(name));
        return slot;
    }

    StringsTable load(const std::string& name) const {
        const auto file = directory / (name + ".strings");
        if (!fileExists(file)) return {};
        Error error;
        const auto bytes = readTextFile(file, &error);
        if (!bytes) {
            systemLog("Cannot read " + file.string() + ": " + error.description);
            return {};
        }
        auto parsed = parseStringsFile(*bytes);
        if (parsed.problem) systemLog("Malformed " + file.string() + ", " + *parsed.problem);
        return parsed;
    }
};

namespace {

struct MainBundleState {
    std::mutex mutex;
    std::filesystem::path directory;  // set by setMainBundleDirectory()
    std::shared_ptr<Bundle> bundle;
};

// Never destroyed: queue workers still read the main bundle while the process exits.
MainBundleState& mainBundleState() {
    static NoDestructor<MainBundleState> holder;
    static MainBundleState& state = holder.get();
    static std::once_flag registered;
    std::call_once(registered, [] {
        registerSharedReset("Bundle.mainBundle", [] {
            std::shared_ptr<Bundle> dropped;
            std::lock_guard lock(state.mutex);
            state.directory.clear();
            dropped = std::move(state.bundle);
        });
    });
    return state;
}

std::filesystem::path mainBundleDirectory(const std::filesystem::path& chosen) {
    if (!chosen.empty()) return chosen;
    if (auto fromEnvironment = ProcessInfo::processInfo().environmentValue("TESSALINE_RESOURCES");
        fromEnvironment && !fromEnvironment->empty()) {
        return *fromEnvironment;
    }
    std::error_code ec;
    return std::filesystem::current_path(ec) / "app" / "resources";
}

}  // namespace

Bundle::Bundle(std::filesystem::path resourceDirectory) : impl_(std::make_shared<Impl>()) {
    impl_->info = readInfoDictionary(resourceDirectory);
    impl_->directory = std::move(resourceDirectory);
}

Bundle::Bundle(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

Bundle Bundle::mainBundle() {
    auto& state = mainBundleState();
    std::lock_guard lock(state.mutex);
    if (!state.bundle) {
        state.bundle = std::make_shared<Bundle>(mainBundleDirectory(state.directory));
    }
    return *state.bundle;
}

void Bundle::setMainBundleDirectory(std::filesystem::path directory) {
    auto& state = mainBundleState();
    std::shared_ptr<Bundle> dropped;
    std::lock_guard lock(state.mutex);
    state.directory = std::move(directory);
    dropped = std::move(state.bundle);
}

const std::filesystem::path& Bundle::resourceDirectory() const {
    return impl_->directory;
}

std::string Bundle::bundleIdentifier() const {
    const auto* identifier = objectForInfoDictionaryKey("CFBundleIdentifier").getString();
    return identifier ? *identifier : "";
}

const Dictionary& Bundle::infoDictionary() const {
    return impl_->info;
}

const Object& Bundle::objectForInfoDictionaryKey(const std::string& key) const {
    const auto it = impl_->info.find(key);
    return it == impl_->info.end() ? Object::null() : it->second;
}

std::optional<std::filesystem::path> Bundle::pathForResource(const std::string& name,
                                                             const std::string& extension) const {
    std::string fileName = name;
    if (!extension.empty()) fileName += (extension.front() == '.' ? "" : ".") + extension;
    const std::filesystem::path relative(fileName);
    if (!staysInside(relative)) return std::nullopt;
    auto full = impl_->directory / relative;
    if (!fileExists(full)) return std::nullopt;
    return full;
}

std::string Bundle::localizedString(const std::string& key, const std::string& value,
                                    const std::string& table) const {
    const auto strings = impl_->table(table.empty() ? kDefaultTable : table);
    if (const auto it = strings->entries.find(key); it != strings->entries.end()) return it->second;
    return value.empty() ? key : value;
}

}  // namespace platform
