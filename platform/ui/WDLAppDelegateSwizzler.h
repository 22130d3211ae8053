#pragma once

// The utilities framework's app-delegate proxy. Once the proxy is in place, the application's
// URL, user-activity and background-session callbacks also reach every registered interceptor
// after the app's own delegate. Nothing is swapped at run time on this platform: the
// application object calls the interceptors itself.

#include <memory>
#include <string>

#include "platform/ui/UIApplication.h"

namespace platform {

// Info.plist switch: a number whose Boolean value is NO turns the proxy off.
inline constexpr char kWDLAppDelegateProxyEnabledKey[] = "TarnwellAppDelegateProxyEnabled";

class WDLAppDelegateSwizzler {
  public:
    // YES unless the main bundle's Info.plist switches the proxy off.
    static bool isAppDelegateProxyEnabled();
    // Puts the proxy in place; later calls do nothing. Main thread.
    static void proxyOriginalDelegate();
    static bool isProxyInstalled();
    // Registers an interceptor with the shared application; returns its identifier (empty for
    // none, or while the proxy is not in place).
    static std::string registerAppDelegateInterceptor(
        std::shared_ptr<UIApplicationDelegate> interceptor);
    static void unregisterAppDelegateInterceptor(const std::string& identifier);
};

}  // namespace platform
