#pragma once

// The host's service property list "NexoryService-Info.plist", from which identity takes the app
// IDs (NEXORY_APP_ID, VINTU_APP_ID) and the front door learns whether the host is configured.

#include <filesystem>
#include <optional>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Object.h"

namespace engine {

inline constexpr char kKLVServiceInfoPlistName[] = "NexoryService-Info";
inline constexpr char kKLVServiceInfoPlistType[] = "plist";
inline constexpr char kKLVServiceInfoPlistAppIDKey[] = "NEXORY_APP_ID";
inline constexpr char kKLVServiceInfoPlistVintuAppIDKey[] = "VINTU_APP_ID";
// Environment variable naming the engine's own resource folder.
inline constexpr char kKLVEngineResourcesVariable[] = "TESSALINE_ENGINE_RESOURCES";

class KLVInfoPlistFileUtil {
  public:
    // The first "NexoryService-Info.plist" found in the main bundle, then in the engine's own
    // bundle; nothing when neither has one.
    static std::optional<std::filesystem::path> nexoryServiceInfoPlistPath();
    // That file read as a dictionary; nothing when there is no file or it is not a dictionary.
    static std::optional<platform::Dictionary> dictionaryFromNexoryServiceInfoPlist();

    // The bundle that holds the engine's code. The engine is linked into the app, so that is the
    // main bundle, unless $TESSALINE_ENGINE_RESOURCES names a folder of its own.
    static platform::Bundle engineBundle();
};

}  // namespace engine
