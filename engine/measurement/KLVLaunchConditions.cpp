#include "engine/measurement/KLVLaunchConditions.h"

#include "engine/base/KLVBoolValue.h"
#include "engine/measurement/KLVScreenViewReporter.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ProcessInfo.h"

namespace engine {

bool KLVIsAppActive() {
    return KLVScreenViewReporter::sharedInstance().isAppActive();
}

bool KLVIsActivePrewarm() {
    const auto value = platform::ProcessInfo::processInfo().environmentValue("ActivePrewarm");
    return value && KLVStringBoolValue(*value);
}

bool KLVHasSceneManifest() {
    return !platform::Bundle::mainBundle()
                .objectForInfoDictionaryKey("UIApplicationSceneManifest")
                .isNull();
}

}  // namespace engine
