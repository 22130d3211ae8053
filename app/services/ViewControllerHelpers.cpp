#include "app/services/ViewControllerHelpers.h"

#include "app/services/AppAnalytics.h"
#include "app/services/AppIdentity.h"
#include "app/services/QuroColor.h"
#include "app/services/RemoteConfigManager.h"
#include "app/services/Texts.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/kits/Material.h"
#include "platform/net/HttpClient.h"
#include "platform/ui/UIApplication.h"

namespace app {

namespace {

constexpr char kOK[] = "OK";
constexpr char kNoInternetKey[] = "noInternet";

void showNoInternet(platform::UIViewController& presenter, std::function<void()> onFailure) {
    std::vector<std::shared_ptr<platform::UIAlertAction>> actions;
    if (onFailure) {
        actions.push_back(std::make_shared<platform::UIAlertAction>(
            kOK, platform::UIAlertAction::Style::defaultStyle,
            [onFailure = std::move(onFailure)](platform::UIAlertAction&) { onFailure(); }));
    }
    showAlert(presenter, localized(kNoInternetKey), std::nullopt, std::move(actions));
}

}  // namespace

void showAlert(platform::UIViewController& presenter, std::optional<std::string> title,
               std::optional<std::string> message,
               std::vector<std::shared_ptr<platform::UIAlertAction>> actions,
               platform::UIAlertControllerStyle preferredStyle) {
    auto alert = std::make_shared<platform::UIAlertController>(std::move(title), std::move(message),
                                                               preferredStyle);
    for (auto& action : actions)
        alert->addAction(std::move(action));
    if (actions.empty()) {
        alert->addAction(std::make_shared<platform::UIAlertAction>(
            kOK, platform::UIAlertAction::Style::defaultStyle));
    }
    presenter.present(alert, true);
}

void checkInternetConnection(const std::shared_ptr<platform::UIViewController>& presenter,
                             std::function<void()> onSuccess, std::function<void()> onFailure) {
    std::weak_ptr<platform::UIViewController> weak = presenter;
    auto finish = [weak, onSuccess = std::move(onSuccess),
                   onFailure = std::move(onFailure)](bool connected) mutable {
        if (connected) {
            if (onSuccess) onSuccess();
            return;
        }
        if (const auto p = weak.lock()) showNoInternet(*p, std::move(onFailure));
    };
    const auto* url =
        platform::Bundle::mainBundle().objectForInfoDictionaryKey(kConnectivityURLKey).getString();
    if (!url || url->empty()) {
        platform::mainQueue().async([finish = std::move(finish)]() mutable { finish(false); });
        return;
    }
    platform::HttpRequest request;
    request.url = *url;
    platform::HttpClient::shared().send(
        std::move(request), platform::mainQueue(),
        [finish = std::move(finish)](platform::HttpResult result) mutable {
            finish(result.response.has_value());
        });
}

bool openRating(platform::UIViewController& presenter) {
    const auto app = RemoteConfigManager::shared().currentApp();
    if (!app) {
        showAlert(presenter, localized(kNoInternetKey), std::nullopt);
        return false;
    }
    const auto& link = isProEdition() ? app->ratingURLPro : app->ratingURL;
    auto& application = platform::UIApplication::shared();
    if (link.empty() || !application.canOpenURL(link)) return false;
    application.open(link);
    platform::Dictionary parameters;
    // An entry without an English name still counts the tap.
    if (const auto en = app->appName.find("en"); en != app->appName.end())
        parameters["quroApp"] = en->second;
    AppAnalytics::logEventWithName(kTappedRatingInMenuEvent, parameters);
    return true;
}

void setTabItem(platform::UIViewController& vc, const std::string& title, bool isEnabled) {
    const auto item = platform::tabItem(vc);
    item->setTitle(title);
    item->titleFont = platform::UIFont{"Avenir-Medium", 14};
    item->setEnabled(isEnabled);
    item->setTitleColor(isEnabled ? QuroColor::primary() : QuroColor::systemGray());
}

platform::UIModalPresentationStyle adaptivePresentationStyleForPresentationController() {
    return platform::UIModalPresentationStyle::none;
}

}  // namespace app
