#include "engine/environment/KLVInfoPlistFileUtil.h"

#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"

namespace engine {

platform::Bundle KLVInfoPlistFileUtil::engineBundle() {
    const auto folder =
        platform::ProcessInfo::processInfo().environmentValue(kKLVEngineResourcesVariable);
    if (folder && !folder->empty()) return platform::Bundle(*folder);
    return platform::Bundle::mainBundle();
}

std::optional<std::filesystem::path> KLVInfoPlistFileUtil::nexoryServiceInfoPlistPath() {
    for (const auto& bundle : {platform::Bundle::mainBundle(), engineBundle()}) {
        if (auto path =
                bundle.pathForResource(kKLVServiceInfoPlistName, kKLVServiceInfoPlistType)) {
            return path;
        }
    }
    return std::nullopt;
}

std::optional<platform::Dictionary> KLVInfoPlistFileUtil::dictionaryFromNexoryServiceInfoPlist() {
    const auto path = nexoryServiceInfoPlistPath();
    if (!path) return std::nullopt;
    auto plist = platform::readPropertyListFile(*path);
    if (!plist || !plist->isDictionary()) return std::nullopt;
    return plist->asDictionary();
}

}  // namespace engine
