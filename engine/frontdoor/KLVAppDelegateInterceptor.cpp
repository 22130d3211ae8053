#include "engine/frontdoor/KLVAppDelegateInterceptor.h"

#include "engine/frontdoor/KLVAnalytics.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/utilities/WDLNetwork.h"

namespace engine {

namespace {

struct InterceptorSlot {
    std::shared_ptr<KLVAppDelegateInterceptor> interceptor =
        std::make_shared<KLVAppDelegateInterceptor>();
};

}  // namespace

std::shared_ptr<KLVAppDelegateInterceptor> KLVAppDelegateInterceptor::sharedInstance() {
    return platform::SharedInstance<InterceptorSlot>::get().interceptor;
}

bool KLVAppDelegateInterceptor::applicationOpenURL(platform::UIApplication&, const std::string& url,
                                                   const platform::Dictionary&) {
    KLVAnalytics::handleOpenURL(url);
    return false;
}

bool KLVAppDelegateInterceptor::applicationContinueUserActivity(
    platform::UIApplication&, const platform::NSUserActivity& userActivity) {
    const auto deepLink = KLVMeasurementService::deepLinkFromUserActivity(&userActivity);
    if (deepLink && !deepLink->empty()) KLVAnalytics::handleOpenURL(*deepLink);
    return false;
}

void KLVAppDelegateInterceptor::applicationHandleEventsForBackgroundURLSession(
    platform::UIApplication&, const std::string& identifier,
    const std::function<void()>& completionHandler) {
    platform::WDLNetwork::handleEventsForBackgroundURLSessionID(identifier, completionHandler);
}

}  // namespace engine
