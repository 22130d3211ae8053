#include "app/services/DsgvoManager.h"

#include "app/services/AppIdentity.h"
#include "app/services/Texts.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/UIAlertController.h"

namespace app {

namespace {

std::shared_ptr<platform::UIAlertAction> consentAction(const char* titleKey, bool value,
                                                       const char* key,
                                                       std::function<void()> then) {
    return std::make_shared<platform::UIAlertAction>(
        localized(titleKey), platform::UIAlertAction::Style::defaultStyle,
        [value, key, then = std::move(then)](platform::UIAlertAction&) {
            DsgvoManager::saveConsent(value, key, then);
        });
}

}  // namespace

void DsgvoManager::showPrivacyAlertOnMainQueue(
    std::shared_ptr<platform::UIViewController> presenter, std::function<void()> completion) {
    platform::mainQueue().async(
        [presenter = std::move(presenter), completion = std::move(completion)] {
            if (!presenter) return;
            const bool pro = isProEdition();
            auto alert = std::make_shared<platform::UIAlertController>(
                localized(pro ? "dsgvoTitlePro" : "dsgvoTitleLite"),
                localized(pro ? "dsgvoTextPro" : "dsgvoTextLite"),
                platform::UIAlertControllerStyle::alert);
            alert->addAction(consentAction("dsgvoAccept", true, kIsDsgvoAcceptedKey, completion));
            presenter->present(alert, true);
        });
}

void DsgvoManager::showVideoPrivacyAlertOnMainQueue(
    std::shared_ptr<platform::UIViewController> presenter, std::function<void()> onAccept,
    std::function<void()> onDecline) {
    platform::mainQueue().async([presenter = std::move(presenter), onAccept = std::move(onAccept),
                                 onDecline = std::move(onDecline)] {
        if (!presenter) return;
        auto alert = std::make_shared<platform::UIAlertController>(
            localized("dsgvoVidmoraTitle"), localized("dsgvoVidmoraText"),
            platform::UIAlertControllerStyle::alert);
        alert->addAction(consentAction("dsgvoAccept", true, kIsVidmoraDsgvoAcceptedKey, onAccept));
        alert->addAction(
            consentAction("dsgvoDecline", false, kIsVidmoraDsgvoAcceptedKey, onDecline));
        presenter->present(alert, true);
    });
}

void DsgvoManager::saveConsent(bool value, const std::string& key,
                               const std::function<void()>& then) {
    platform::UserDefaults::standardUserDefaults().setBool(value, key);
    if (then) then();
}

}  // namespace app
