#pragma once

// The app's resources: Info.plist, resource files and the localisation table, read from one
// resource directory. The main bundle's directory is set at start-up (the program passes the
// folder that holds app/resources); tests point it at a folder of their own.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

namespace platform {

class Bundle {
  public:
    // Reads Info.plist (if present) from `resourceDirectory`; resources are looked up there.
    explicit Bundle(std::filesystem::path resourceDirectory);

    // The process's main bundle. Its directory comes from setMainBundleDirectory(), else from
    // $TESSALINE_RESOURCES, else "app/resources" under the current directory. Bundles are cheap
    // handles on shared, immutable contents; references into one stay valid while any handle
    // lives. resetSharedInstances() forgets the main bundle and the directory set for it.
    static Bundle mainBundle();
    static void setMainBundleDirectory(std::filesystem::path directory);

    const std::filesystem::path& resourceDirectory() const;
    // CFBundleIdentifier of Info.plist, or "" when absent.
    std::string bundleIdentifier() const;
    // Info.plist as a dictionary (empty when missing or unreadable).
    const Dictionary& infoDictionary() const;
    // One Info.plist value; a null object when absent.
    const Object& objectForInfoDictionaryKey(const std::string& key) const;

    // Full path of "<name>.<extension>" in the resource directory (extension may be empty), or
    // nullopt when no such file exists or the name would lead out of the directory.
    std::optional<std::filesystem::path> pathForResource(const std::string& name,
                                                         const std::string& extension) const;

    // Looks `key` up in "<table>.strings" (default table "Localizable"); `value` when given and
    // the key is missing, else the key itself. Tables are parsed once and cached; a malformed
    // one is logged and serves what parsed before the fault.
    std::string localizedString(const std::string& key, const std::string& value = "",
                                const std::string& table = "") const;

  private:
    struct Impl;
    explicit Bundle(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform
