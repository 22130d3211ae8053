#pragma once

// The side menu: the app's destinations (calculate, history, introduction, privacy), the contact
// rows (community link, rating) and the product family's other apps from remote configuration,
// split into all-in-one apps and single apps. Main thread; the app lists are refreshed on the
// main queue when the list is reloaded or the app becomes active while the menu is shown.

#include <memory>
#include <string>
#include <vector>

#include "app/services/RemoteConfigModels.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/UITableView.h"

namespace app {

inline constexpr char kCommunityURLKey[] = "TESSALINE_COMMUNITY_URL";
inline constexpr double kMenuSectionHeaderHeight = 30;

class LeftViewController : public platform::UITableViewController {
  public:
    LeftViewController();

    int numberOfSections_ = 1;
    std::vector<std::string> mainSectionRows;
    std::vector<std::string> contactSectionRows;
    std::vector<AppMetaData> multiApps;
    std::vector<AppMetaData> singleApps;

    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;

    int numberOfSections(platform::UITableView& tableView) override;
    int numberOfRowsInSection(platform::UITableView& tableView, int section) override;
    std::shared_ptr<platform::UITableViewCell> cellForRowAt(platform::UITableView& tableView,
                                                            platform::NSIndexPath path) override;
    std::shared_ptr<platform::UIView> viewForHeaderInSection(platform::UITableView& tableView,
                                                             int section) override;
    double heightForHeaderInSection(platform::UITableView& tableView, int section) override;
    void didSelectRowAt(platform::UITableView& tableView, platform::NSIndexPath path) override;

    void updateSections();
    // Takes the new lists and reloads the table, both on the main queue.
    void didUpdateMenu();

  private:
    // The registrations of the current appearance; they end with it (or with the menu).
    std::vector<platform::NotificationObserver> observers_;
    void handleMainSectionSelection(int row);
    void handleContactSectionSelection(int row);
    void handleAppLinkSelection(int row, bool isMultiApp);
    bool tryOpenAppURL(const std::string& url);
    void openStoreURL(const std::string& url);
    void openCommunityLink();
};

// The app's name in the user's language, else in English, else empty.
std::string menuAppName(const AppMetaData& app);

// Registers the interface "Main" scene "LeftViewController" (idempotent).
void registerLeftInterface();

}  // namespace app
