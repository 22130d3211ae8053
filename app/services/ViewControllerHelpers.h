#pragma once

// What every view controller of the app can do: show an alert (with a plain "OK" when no action
// is given), check that the internet answers before a link is opened, open this app's rating
// page, style its tab item, and keep popovers as popovers.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/UIAlertController.h"
#include "platform/ui/UIViewController.h"

namespace app {

inline constexpr char kConnectivityURLKey[] = "TESSALINE_CONNECTIVITY_URL";

void showAlert(
    platform::UIViewController& presenter, std::optional<std::string> title,
    std::optional<std::string> message,
    std::vector<std::shared_ptr<platform::UIAlertAction>> actions = {},
    platform::UIAlertControllerStyle preferredStyle = platform::UIAlertControllerStyle::alert);

// GETs the deployment value "TESSALINE_CONNECTIVITY_URL"; any HTTP answer runs onSuccess on the
// main queue. Otherwise the presenter (if it still exists) shows the "noInternet" alert, whose OK
// runs onFailure when one is given. No URL counts as no connection.
void checkInternetConnection(const std::shared_ptr<platform::UIViewController>& presenter,
                             std::function<void()> onSuccess,
                             std::function<void()> onFailure = nullptr);

// Opens this app's rating page (the pro edition's link in the pro edition) and logs
// kTappedRatingInMenuEvent. Without this app's entry the presenter shows "noInternet". True when a
// link was opened.
bool openRating(platform::UIViewController& presenter);

// The controller's tab item: title, font, enabled state and its colour.
void setTabItem(platform::UIViewController& vc, const std::string& title, bool isEnabled);

// The popover delegate's answer for every controller of the app: stay a popover.
platform::UIModalPresentationStyle adaptivePresentationStyleForPresentationController();

}  // namespace app
