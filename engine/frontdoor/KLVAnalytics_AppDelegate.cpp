// The app-delegate proxy: the engine's interceptor sees the app's URL, user-activity and
// background-session callbacks.

#include "engine/frontdoor/FrontDoorState.h"
#include "engine/frontdoor/KLVAnalytics.h"

namespace engine {

bool FrontDoorState::isAppDelegateProxyEnabled() const {
    return false;
}

void KLVAnalytics::createAppDelegateProxy() {}

}  // namespace engine
