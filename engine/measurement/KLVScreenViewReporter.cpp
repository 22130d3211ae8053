#include "engine/measurement/KLVScreenViewReporter.h"

#include "platform/foundation/SharedInstance.h"

namespace engine {

KLVScreenViewReporter& KLVScreenViewReporter::sharedInstance() {
    return platform::SharedInstance<KLVScreenViewReporter>::get();
}

void KLVScreenViewReporter::trackScreenWithParameters(const platform::Dictionary&, double) {}

platform::Dictionary KLVScreenViewReporter::screenParameters() const {
    std::lock_guard lock(mutex_);
    return currentScreenParameters_;
}

void KLVScreenViewReporter::setScreenName(const std::optional<std::string>&,
                                          const std::optional<std::string>&) {}

bool KLVScreenViewReporter::isAppActive() const {
    return true;
}

}  // namespace engine
