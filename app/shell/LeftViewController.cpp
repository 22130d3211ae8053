#include "app/shell/LeftViewController.h"

#include <mutex>

#include "app/screens/CalculateViewController.h"
#include "app/screens/HistoryTableViewController.h"
#include "app/services/AppAnalytics.h"
#include "app/services/AppIdentity.h"
#include "app/services/DsgvoManager.h"
#include "app/services/OnboardingManager.h"
#include "app/services/QuroColor.h"
#include "app/services/RemoteConfigManager.h"
#include "app/services/Texts.h"
#include "app/services/ViewControllerHelpers.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/NavigationChrome.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SystemLocale.h"
#include "platform/ui/UIApplication.h"
#include "platform/ui/UIStoryboard.h"

namespace app {
namespace {

constexpr char kMenuCellId[] = "cell";

std::string currentLanguageCode() {
    const auto languages = platform::preferredLanguages();
    if (languages.empty()) return "";
    const auto& tag = languages.front();
    return tag.substr(0, tag.find_first_of("-_"));
}

}  // namespace

std::string menuAppName(const AppMetaData& app) {
    if (const auto it = app.appName.find(currentLanguageCode()); it != app.appName.end()) {
        return it->second;
    }
    if (const auto it = app.appName.find("en"); it != app.appName.end()) return it->second;
    return "";
}

LeftViewController::LeftViewController()
    : mainSectionRows{localized("Calculate Title"), localized("History"), localized("introduction"),
                      localized("privacyPolicy")},
      contactSectionRows{localized("Discord"), localized("Rate this App")},
      multiApps(RemoteConfigManager::shared().multiApps()),
      singleApps(RemoteConfigManager::shared().singleApps()) {}

void LeftViewController::viewDidLoad() {
    platform::UITableViewController::viewDidLoad();
    view()->setBackgroundColor(themePaleYellow());
    tableView()->separatorColor.reset();
    tableView()->contentInset = {0, 0, 0, 0};
    tableView()->registerCell(kMenuCellId, [] {
        return std::make_shared<platform::UITableViewCell>(
            platform::UITableViewCell::Style::defaultStyle, kMenuCellId);
    });
}

void LeftViewController::viewWillAppear(bool animated) {
    platform::UITableViewController::viewWillAppear(animated);
    std::weak_ptr<LeftViewController> weak = shared<LeftViewController>();
    const auto refresh = [weak](const platform::Notification&) {
        if (const auto self = weak.lock()) self->didUpdateMenu();
    };
    auto& center = platform::NotificationCenter::defaultCenter();
    observers_.push_back(center.addObserverForName(
        platform::UIApplicationDidBecomeActiveNotification, nullptr, refresh));
    observers_.push_back(center.addObserverForName(kDidLoadMenuNotification, nullptr, refresh));
}

void LeftViewController::viewWillDisappear(bool animated) {
    platform::UITableViewController::viewWillDisappear(animated);
    observers_.clear();
}

void LeftViewController::updateSections() {
    numberOfSections_ = !multiApps.empty() && !singleApps.empty() ? 4 : 2;
}

void LeftViewController::didUpdateMenu() {
    // The lists and the table are main-thread state, whatever queue posted the notification.
    std::weak_ptr<LeftViewController> weak = shared<LeftViewController>();
    platform::mainQueue().async([weak] {
        const auto self = weak.lock();
        if (!self) return;
        self->singleApps = RemoteConfigManager::shared().singleApps();
        self->multiApps = RemoteConfigManager::shared().multiApps();
        self->tableView()->reloadData();
    });
}

int LeftViewController::numberOfSections(platform::UITableView&) {
    updateSections();
    return numberOfSections_;
}

int LeftViewController::numberOfRowsInSection(platform::UITableView&, int section) {
    switch (section) {
        case 0:
            return static_cast<int>(mainSectionRows.size());
        case 1:
            return static_cast<int>(contactSectionRows.size());
        case 2:
            return static_cast<int>(multiApps.size());
        default:
            return static_cast<int>(singleApps.size());
    }
}

std::shared_ptr<platform::UITableViewCell> LeftViewController::cellForRowAt(
    platform::UITableView& table, platform::NSIndexPath path) {
    auto cell = table.dequeueReusableCell(kMenuCellId, path);
    cell->setBackgroundColor(themePaleYellow());
    const auto label = cell->textLabel();
    label->font = {"Avenir-Medium", 17};
    label->adjustsFontSizeToFitWidth = true;
    label->textColor = QuroColor::primary();
    const auto row = static_cast<std::size_t>(path.row);
    std::string text;
    if (path.section == 0 && row < mainSectionRows.size()) {
        text = mainSectionRows[row];
    } else if (path.section == 1 && row < contactSectionRows.size()) {
        text = contactSectionRows[row];
    } else {
        const auto& apps = path.section == 2 ? multiApps : singleApps;
        if (row < apps.size()) text = menuAppName(apps[row]);
    }
    label->setText(text);
    return cell;
}

double LeftViewController::heightForHeaderInSection(platform::UITableView&, int section) {
    return section == 0 ? 0 : kMenuSectionHeaderHeight;
}

std::shared_ptr<platform::UIView> LeftViewController::viewForHeaderInSection(
    platform::UITableView& table, int section) {
    const double width = table.frame().size.width;
    if (section == 0) return std::make_shared<platform::UIView>(platform::CGRect{0, 0, width, 0});
    auto header =
        std::make_shared<platform::UIView>(platform::CGRect{0, 0, width, kMenuSectionHeaderHeight});
    header->setBackgroundColor(themeLightYellow());
    auto label = std::make_shared<platform::UILabel>(
        platform::CGRect{3, 0, width - 3, kMenuSectionHeaderHeight});
    label->font = {"Avenir-Medium", 16};
    label->textColor = QuroColor::primary();
    const char* keys[] = {"", "Visit us:", "All in one:", "Other apps:"};
    label->setText(section <= 3 ? " " + localized(keys[section]) : "");
    header->addSubview(label);
    return header;
}

void LeftViewController::didSelectRowAt(platform::UITableView& table, platform::NSIndexPath path) {
    if (const auto selected = table.indexPathForSelectedRow()) {
        table.reloadRows({*selected}, platform::UITableViewRowAnimation::none);
    }
    switch (path.section) {
        case 0:
            handleMainSectionSelection(path.row);
            break;
        case 1:
            handleContactSectionSelection(path.row);
            break;
        default:
            handleAppLinkSelection(path.row, path.section == 2);
    }
}

void LeftViewController::handleMainSectionSelection(int row) {
    std::weak_ptr<LeftViewController> weak = shared<LeftViewController>();
    const auto close = [weak](bool) {
        if (const auto self = weak.lock()) closeNavigationDrawer(*self);
    };
    switch (row) {
        case 0: {
            AppAnalytics::logEventWithName("tapped_menu_calculate");
            if (const auto drawer = platform::navigationDrawerController(*this)) {
                drawer->transition(AppDelegate().appToolbarController(), close);
            }
            break;
        }
        case 1: {
            AppAnalytics::logEventWithName("tapped_menu_history");
            auto history = platform::UIStoryboard::instantiate<HistoryTableViewController>(
                kMainStoryboard, "HistoryTableViewController");
            const auto drawer = platform::navigationDrawerController(*this);
            const auto toolbar =
                drawer
                    ? std::dynamic_pointer_cast<AppToolbarController>(drawer->rootViewController())
                    : nullptr;
            if (toolbar && history) toolbar->transition(history, close);
            break;
        }
        case 2: {
            AppAnalytics::logEventWithName("tapped_onboarding");
            auto onboarding = makeOnboardViewController(onboardingPages());
            onboarding->modalPresentationStyle = platform::UIModalPresentationStyle::formSheet;
            present(onboarding, true);
            break;
        }
        case 3:
            AppAnalytics::logEventWithName("tapped_privacy_policy");
            DsgvoManager::showPrivacyAlertOnMainQueue(shared<LeftViewController>());
            break;
        default:
            break;
    }
}

void LeftViewController::handleContactSectionSelection(int row) {
    std::weak_ptr<LeftViewController> weak = shared<LeftViewController>();
    if (row == 0) {
        AppAnalytics::logEventWithName("tapped_discord");
        checkInternetConnection(shared<LeftViewController>(), [weak] {
            if (const auto self = weak.lock()) self->openCommunityLink();
        });
    } else if (row == 1) {
        AppAnalytics::logEventWithName("tapped_rate_app");
        checkInternetConnection(shared<LeftViewController>(), [weak] {
            if (const auto self = weak.lock()) openRating(*self);
        });
    }
}

void LeftViewController::handleAppLinkSelection(int row, bool isMultiApp) {
    const auto& apps = isMultiApp ? multiApps : singleApps;
    // The lists may have been refreshed since the row was drawn.
    if (row < 0 || static_cast<std::size_t>(row) >= apps.size()) return;
    const auto app = apps[static_cast<std::size_t>(row)];
    const bool hasApp = tryOpenAppURL(app.appURLPro) || tryOpenAppURL(app.appURL);
    if (!hasApp) openStoreURL(isProEdition() ? app.storeURLPro : app.storeURL);
    const auto en = app.appName.find("en");
    AppAnalytics::logEventWithName(
        kTappedAppLinkEvent,
        {{"has_app", hasApp}, {"quroApp", en == app.appName.end() ? "" : en->second}});
}

bool LeftViewController::tryOpenAppURL(const std::string& url) {
    auto& application = platform::UIApplication::shared();
    if (url.empty() || !application.canOpenURL(url)) return false;
    application.open(url);
    return true;
}

void LeftViewController::openStoreURL(const std::string& url) {
    if (url.empty()) return;
    platform::UIApplication::shared().open(url);
}

void LeftViewController::openCommunityLink() {
    const auto* url =
        platform::Bundle::mainBundle().objectForInfoDictionaryKey(kCommunityURLKey).getString();
    if (!url || url->empty()) return;
    platform::UIApplication::shared().open(*url);
}

void registerLeftInterface() {
    static std::once_flag once;
    std::call_once(once, [] {
        platform::UIStoryboard::registerScene(kMainStoryboard, "LeftViewController", [] {
            return std::make_shared<LeftViewController>();
        });
    });
}

}  // namespace app
