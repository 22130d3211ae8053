#pragma once

// What the engine does with the app delegate's callbacks once the app-delegate proxy is in
// place: opened URLs and browsing activities go to the front door's link handling, a background
// session's events to the network component. It never claims a callback as handled.

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/UIApplication.h"

namespace engine {

class KLVAppDelegateInterceptor : public platform::UIApplicationDelegate {
  public:
    static std::shared_ptr<KLVAppDelegateInterceptor> sharedInstance();

    bool applicationOpenURL(platform::UIApplication& app, const std::string& url,
                            const platform::Dictionary& options) override;
    // The restoration handler is never called.
    bool applicationContinueUserActivity(platform::UIApplication& app,
                                         const platform::NSUserActivity& userActivity) override;
    void applicationHandleEventsForBackgroundURLSession(
        platform::UIApplication& app, const std::string& identifier,
        const std::function<void()>& completionHandler) override;
};

}  // namespace engine
