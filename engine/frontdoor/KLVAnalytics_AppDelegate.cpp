// The app-delegate proxy: the engine's interceptor sees the app's URL, user-activity and
// background-session callbacks.

#include "engine/frontdoor/FrontDoorState.h"
#include "engine/frontdoor/KLVAnalytics.h"
#include "engine/frontdoor/KLVAppDelegateInterceptor.h"
#include "platform/ui/WDLAppDelegateSwizzler.h"

namespace engine {

bool FrontDoorState::isAppDelegateProxyEnabled() const {
    return platform::WDLAppDelegateSwizzler::isAppDelegateProxyEnabled();
}

void KLVAnalytics::createAppDelegateProxy() {
    auto& state = frontDoor();
    if (state.appDelegateProxyCreated.exchange(true)) return;
    platform::WDLAppDelegateSwizzler::proxyOriginalDelegate();
    platform::WDLAppDelegateSwizzler::registerAppDelegateInterceptor(
        KLVAppDelegateInterceptor::sharedInstance());
}

}  // namespace engine
