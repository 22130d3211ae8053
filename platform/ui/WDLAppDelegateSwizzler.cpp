#include "platform/ui/WDLAppDelegateSwizzler.h"

#include <atomic>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/SharedInstance.h"

namespace platform {

namespace {

struct ProxyState {
    std::atomic<bool> installed{false};
};

ProxyState& proxyState() {
    return SharedInstance<ProxyState>::get();
}

}  // namespace

bool WDLAppDelegateSwizzler::isAppDelegateProxyEnabled() {
    const Object& value =
        Bundle::mainBundle().objectForInfoDictionaryKey(kWDLAppDelegateProxyEnabledKey);
    if (const auto number = value.numberAsDouble()) return *number != 0;
    return true;
}

void WDLAppDelegateSwizzler::proxyOriginalDelegate() {
    proxyState().installed.store(true);
}

bool WDLAppDelegateSwizzler::isProxyInstalled() {
    return proxyState().installed.load();
}

std::string WDLAppDelegateSwizzler::registerAppDelegateInterceptor(
    std::shared_ptr<UIApplicationDelegate> interceptor) {
    if (!isProxyInstalled()) return {};
    return UIApplication::shared().registerDelegateInterceptor(std::move(interceptor));
}

void WDLAppDelegateSwizzler::unregisterAppDelegateInterceptor(const std::string& identifier) {
    UIApplication::shared().unregisterDelegateInterceptor(identifier);
}

}  // namespace platform
