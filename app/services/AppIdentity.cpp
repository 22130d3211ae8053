#include "app/services/AppIdentity.h"

#include "platform/foundation/Bundle.h"

namespace app {

std::string appDisplayTitle() {
    return platform::Bundle::mainBundle().localizedString("Tessaline");
}

bool isProEdition() {
    return mainBundleIdentifier().find(kProEditionMarker) != std::string::npos;
}

std::string mainBundleIdentifier() {
    return platform::Bundle::mainBundle().bundleIdentifier();
}

}  // namespace app
