#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "app/screens/CalcManager.h"
#include "app/screens/HistoryTableViewController.h"
#include "app/services/DsgvoManager.h"
#include "app/services/OnboardingManager.h"
#include "app/services/RemoteConfigManager.h"
#include "app/services/ServicesTestSupport.h"
#include "app/shell/AppDelegate.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/kits/OnboardViewController.h"
#include "platform/ui/UIAlertController.h"
#include "testkit/LoopbackServer.h"

namespace app {
namespace {

using platform::ViewQuery;

class AppTest : public testing::ServicesTest {
  protected:
    AppTest() {
        server_.answer("GET", "/rc", {503, {}, ""});
        useTestBundle();
    }
    // The app's resources without the measurement service's property list, so that the engine
    // stays off, and with the remote configuration on the loopback server.
    void useTestBundle() {
        useBundle({{"TESSALINE_REMOTE_CONFIG_URL", server_.baseURL() + "/rc"}});
    }
    // A fresh process state; the main bundle is forgotten with it, so it is set again.
    void resetProcess() {
        platform::resetSharedInstances();
        useTestBundle();
    }
    ~AppTest() override { server_.stop(); }

    void launch() {
        delegate_ = std::make_shared<AppDelegate>();
        platform::UIApplication::shared().launch(delegate_);
        platform::runUntilIdle();
    }
    void launchSettled() {
        defaults().setBool(true, kIsOnboardingFinishedKey);
        defaults().setBool(true, kIsDsgvoAcceptedKey);
        defaults().setBool(true, "isRatingAlreadyDone");
        // The activation's fetch (answered 503) reloads the menu from the defaults once more, on
        // the main queue, after an HTTP round trip: wait for it, so that it cannot replace what
        // a test puts in the menu afterwards.
        int menuLoads = 0;
        const auto observer = platform::NotificationCenter::defaultCenter().addObserverForName(
            kDidLoadMenuNotification, nullptr,
            [&menuLoads](const platform::Notification&) { ++menuLoads; });
        launch();
        // The guard only ends a run whose second load never comes.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (menuLoads < 2 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
            platform::runUntilIdle();
        }
        ASSERT_EQ(menuLoads, 2) << "the activation's fetch never reloaded the menu";
    }
    std::shared_ptr<AppNavigationDrawerController> drawer() {
        return std::dynamic_pointer_cast<AppNavigationDrawerController>(
            delegate_->window->rootViewController());
    }
    std::shared_ptr<AppToolbarController> pageToolbar() {
        return std::dynamic_pointer_cast<AppToolbarController>(drawer()->rootViewController());
    }
    std::shared_ptr<platform::TabsController> tabs() {
        return std::dynamic_pointer_cast<platform::TabsController>(
            pageToolbar()->rootViewController());
    }
    std::shared_ptr<LeftViewController> menu() {
        return std::dynamic_pointer_cast<LeftViewController>(
            std::dynamic_pointer_cast<platform::ToolbarController>(drawer()->leftViewController())
                ->rootViewController());
    }
    // Taps a row of a table on screen.
    void tapRow(platform::UITableView& table, int section, int row) {
        driver_.screen();
        const auto cell = table.cellForRow({section, row});
        ASSERT_TRUE(cell) << section << "," << row;
        const auto result = driver_.tapAt(cell->convert(cell->bounds().center(), nullptr));
        ASSERT_TRUE(result.ok()) << result.reason;
    }
    void openMenuRow(int section, int row) {
        ASSERT_TRUE(driver_.tap(ViewQuery::byId("menuButton")).ok());
        tapRow(*menu()->tableView(), section, row);
    }
    std::shared_ptr<HistoryTableViewController> history() {
        return std::dynamic_pointer_cast<HistoryTableViewController>(
            pageToolbar()->rootViewController());
    }
    std::shared_ptr<platform::DTTextField> field(const std::string& id) {
        return std::dynamic_pointer_cast<platform::DTTextField>(driver_.find(ViewQuery::byId(id)));
    }
    void type(const std::string& id, const std::string& key) {
        ASSERT_TRUE(driver_.tap(ViewQuery::byId(id)).ok());
        const auto& keypad =
            std::dynamic_pointer_cast<CalculateViewController>(tabs()->viewControllers()[0])
                ->keypadStackView;
        for (const auto& row : keypad->arrangedSubviews()) {
            for (const auto& view :
                 std::static_pointer_cast<platform::UIStackView>(row)->arrangedSubviews()) {
                const auto button = std::dynamic_pointer_cast<platform::UIButton>(view);
                if (button && button->title() == key) {
                    ASSERT_TRUE(
                        driver_.tapAt(button->convert(button->bounds().center(), nullptr)).ok());
                    return;
                }
            }
        }
        FAIL() << key;
    }

    testkit::LoopbackServer server_;
    std::shared_ptr<AppDelegate> delegate_;
};

TEST_F(AppTest, FirstLaunchOfflineShowsOnboardingUnderTheConsentNotice) {
    launch();
    EXPECT_EQ(tabs()->selectedIndex(), 0);
    EXPECT_TRUE(delegate_->window->isKeyWindow());
    const auto onboarding = std::dynamic_pointer_cast<platform::OnboardViewController>(
        drawer()->presentedViewController());
    ASSERT_TRUE(onboarding);
    EXPECT_EQ(onboarding->modalPresentationStyle,
              platform::UIModalPresentationStyle::overFullScreen);
    EXPECT_TRUE(std::dynamic_pointer_cast<platform::UIAlertController>(
        onboarding->presentedViewController()));
    const auto& history = CalcManager::shared().calculations;
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].latexString, kExampleLatexString);
    EXPECT_TRUE(defaults().boolForKey(kHasLaunchedBeforeKey));
    // The defaults list all-in-one and single apps: four menu sections.
    EXPECT_EQ(menu()->numberOfSections(*menu()->tableView()), 4);
}

TEST_F(AppTest, LaterLaunchesKeepTheHistoryAndPresentWhatIsStillDue) {
    struct Case {
        bool onboarded, accepted;
        bool onboarding, consentOnDrawer;
    };
    const Case cases[] = {{true, false, false, true}, {true, true, false, false}};
    for (const auto& c : cases) {
        resetProcess();
        defaults().setBool(true, kHasLaunchedBeforeKey);
        defaults().setBool(c.onboarded, kIsOnboardingFinishedKey);
        defaults().setBool(c.accepted, kIsDsgvoAcceptedKey);
        defaults().setBool(true, "isRatingAlreadyDone");
        CalcManager::shared().clearCalculations();
        CalcManager::shared().insertCalculation(Calculation({}, "A", {}, {}));
        CalcManager::shared().insertCalculation(Calculation({}, "B", {}, {}));
        resetProcess();
        launch();
        EXPECT_EQ(CalcManager::shared().calculations.size(), 2u);
        const auto presented = drawer()->presentedViewController();
        EXPECT_EQ(
            static_cast<bool>(std::dynamic_pointer_cast<platform::UIAlertController>(presented)),
            c.consentOnDrawer);
        if (!c.consentOnDrawer) {
            EXPECT_FALSE(presented);
        }
    }
}

TEST_F(AppTest, EachActivationFetchesOnce) {
    launchSettled();
    ASSERT_TRUE(server_.waitForRequests(1));
    auto& application = platform::UIApplication::shared();
    application.resignActive();
    application.becomeActive();
    ASSERT_TRUE(server_.waitForRequests(2));
    EXPECT_EQ(server_.requests().size(), 2u);
}

TEST_F(AppTest, AFreshDelegateBuildsANewChainThatOutlivesIt) {
    launchSettled();
    std::shared_ptr<AppToolbarController> chain;
    {
        AppDelegate fresh;
        chain = fresh.appToolbarController();
        EXPECT_EQ(fresh.appToolbarController(), chain);  // made once per delegate
    }
    EXPECT_NE(chain, pageToolbar());
    const auto pages =
        std::dynamic_pointer_cast<platform::TabsController>(chain->rootViewController());
    ASSERT_TRUE(pages);
    ASSERT_EQ(pages->viewControllers().size(), 2u);
    EXPECT_TRUE(std::dynamic_pointer_cast<CalculateViewController>(pages->viewControllers()[0]));
    EXPECT_TRUE(std::dynamic_pointer_cast<SolutionViewController>(pages->viewControllers()[1]));
    EXPECT_NE(pages->viewControllers()[0], tabs()->viewControllers()[0]);
}

TEST_F(AppTest, MenuButtonTogglesAndLogsButNotWhileCalculating) {
    launchSettled();
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("menuButton")).ok());
    EXPECT_TRUE(drawer()->isLeftViewOpened());
    pageToolbar()->handleMenuButton();
    EXPECT_FALSE(drawer()->isLeftViewOpened());
    isCalculating = true;
    pageToolbar()->handleMenuButton();
    isCalculating = false;
    EXPECT_FALSE(drawer()->isLeftViewOpened());
    EXPECT_EQ(analytics_.names(), (std::vector<std::string>(3, "tapped_menu_button")));
}

TEST_F(AppTest, MenuShowsAppSectionsOnlyWithBothKinds) {
    launchSettled();
    auto& m = *menu();
    const AppMetaData app{
        {"org.other"}, {{"en", "Other"}}, "other://", "otherpro://", "", "", "", "", true, true, 0};
    const struct {
        std::size_t multi, single;
        int sections;
    } cases[] = {{0, 0, 2}, {3, 0, 2}, {0, 2, 2}, {1, 1, 4}};
    for (const auto& c : cases) {
        m.multiApps.assign(c.multi, app);
        m.singleApps.assign(c.single, app);
        EXPECT_EQ(m.numberOfSections(*m.tableView()), c.sections);
    }
}

TEST_F(AppTest, AppRowsOpenTheAppOrItsStorePage) {
    launchSettled();
    auto& m = *menu();
    const AppMetaData installed{{"org.a"},
                                {{"en", "Alpha"}},
                                "alpha://open",
                                "alphapro://open",
                                "",
                                "",
                                "https://store.example/a",
                                "https://store.example/apro",
                                true,
                                true,
                                0};
    AppMetaData missing = installed;
    missing.appName = {{"de", "Beta"}};
    missing.appURL = "beta://open";
    missing.appURLPro = "";
    missing.storeURL = "https://store.example/b";
    m.multiApps = {installed};
    m.singleApps = {missing};
    m.tableView()->reloadData();
    platform::UIApplication::shared().setInstalledURLSchemes({"alpha"});
    openMenuRow(2, 0);
    tapRow(*m.tableView(), 3, 0);  // the drawer stays open after an app link
    EXPECT_EQ(platform::UIApplication::shared().openedURLs(),
              (std::vector<std::string>{"alpha://open", "https://store.example/b"}));
    const auto events = analytics_.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2],
              (AppAnalytics::Event{"tapped_app_link", {{"has_app", true}, {"quroApp", "Alpha"}}}));
    EXPECT_EQ(events.back(),
              (AppAnalytics::Event{"tapped_app_link", {{"has_app", false}, {"quroApp", ""}}}));
    // A row index from a list that has since shrunk does nothing.
    m.singleApps.clear();
    m.didSelectRowAt(*m.tableView(), {3, 0});
    EXPECT_EQ(analytics_.events().size(), events.size());
}

TEST_F(AppTest, CommunityRowOpensTheConfiguredLinkOnceTheNetworkAnswers) {
    server_.answer("GET", "/ping", {204, {}, ""});
    useBundle({{"TESSALINE_REMOTE_CONFIG_URL", server_.baseURL() + "/rc"},
               {"TESSALINE_CONNECTIVITY_URL", server_.baseURL() + "/ping"},
               {"TESSALINE_COMMUNITY_URL", "https://community.example/join"}});
    launchSettled();
    openMenuRow(1, 0);
    EXPECT_EQ(analytics_.names().back(), "tapped_discord");
    ASSERT_TRUE(pumpUntil([] { return !platform::UIApplication::shared().openedURLs().empty(); }));
    EXPECT_EQ(platform::UIApplication::shared().openedURLs(),
              std::vector<std::string>{"https://community.example/join"});
}

TEST_F(AppTest, CalculateRowSwapsInANewChainAndClosesTheDrawer) {
    launchSettled();
    const auto old = pageToolbar();
    openMenuRow(0, 0);
    EXPECT_NE(pageToolbar(), old);
    EXPECT_EQ(tabs()->selectedIndex(), 0);
    EXPECT_FALSE(drawer()->isLeftViewOpened());
    EXPECT_EQ(analytics_.names(),
              (std::vector<std::string>{"tapped_menu_button", "tapped_menu_calculate"}));
}

TEST_F(AppTest, MenuUpdatesOnTheMainQueue) {
    launchSettled();
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("menuButton")).ok());
    auto& m = *menu();
    m.multiApps.clear();
    platform::NotificationCenter::defaultCenter().postNotificationName(kDidLoadMenuNotification);
    EXPECT_TRUE(m.multiApps.empty());  // nothing changes until the main queue runs
    platform::runUntilIdle();
    EXPECT_EQ(m.multiApps, RemoteConfigManager::shared().multiApps());
}

TEST_F(AppTest, HistoryReopensAndEditsRecords) {
    launchSettled();  // a first launch: the example record
    CalcManager::shared().currentCalculation = Calculation({{"aTextField", "9"}}, "", {}, {});
    openMenuRow(0, 1);
    ASSERT_TRUE(history());
    EXPECT_EQ(history()->tableView()->numberOfRows(0), 1);
    tapRow(*history()->tableView(), 0, 0);
    EXPECT_TRUE(defaults().objectForKey(kCurrentCalculationKey).isNull());
    const auto calc =
        std::dynamic_pointer_cast<CalculateViewController>(tabs()->viewControllers()[0]);
    ASSERT_TRUE(calc);
    EXPECT_EQ(calc->segmentedControl.lock()->selectedSegmentIndex(), 5);
    for (const auto& [id, text] : exampleInputParameters())
        EXPECT_EQ(field(id)->text(), text);
    EXPECT_FALSE(CalcManager::shared().currentSelectedCalculation);
    EXPECT_FALSE(drawer()->isLeftViewOpened());
    const auto item = analytics_.events().back();
    EXPECT_EQ(item.name, "tapped_history_item");
    EXPECT_EQ(item.parameters.at("latex_string"), platform::Object(kExampleLatexString));
}

TEST_F(AppTest, HistoryDeleteMoveAndClear) {
    launchSettled();
    auto& store = CalcManager::shared();
    store.clearCalculations();
    for (const char* latex : {"C", "B", "A"})
        store.insertCalculation(Calculation({}, latex, {}, {}));
    openMenuRow(0, 1);
    const auto list = history();
    ASSERT_TRUE(list);
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("editButton")).ok());
    EXPECT_TRUE(list->tableView()->isEditing());
    list->moveRowAt(*list->tableView(), {0, 0}, {0, 2});
    list->commitEditingStyle(*list->tableView(), platform::UITableViewCellEditingStyle::delete_,
                             {0, 0});
    std::vector<std::string> stored;
    const auto array = defaults().objectForKey(kCalculationsKey);
    for (const auto& d : array.asArray())
        stored.push_back(d.asDictionary().at("latexString").asString());
    EXPECT_EQ(stored, (std::vector<std::string>{"C", "A"}));

    ASSERT_TRUE(driver_.tap(ViewQuery::byId("clearAllButton")).ok());
    ASSERT_TRUE(driver_.tap(ViewQuery::byText("Cancel")).ok());
    EXPECT_EQ(store.calculations.size(), 2u);
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("clearAllButton")).ok());
    ASSERT_TRUE(driver_.tap(ViewQuery::byText("Clear")).ok());
    EXPECT_TRUE(store.calculations.empty());
    EXPECT_EQ(defaults().objectForKey(kCalculationsKey), platform::Object(platform::Array{}));
    EXPECT_EQ(analytics_.events().back(),
              (AppAnalytics::Event{"tapped_history_clear", {{"calc_count", 2}}}));
    const auto names = analytics_.names();
    EXPECT_EQ(std::count(names.begin(), names.end(), "tapped_history_clear"), 1);
}

// From the page: a horizontal drag over a row is a swipe that deletes it, a vertical one
// scrolls; in edit mode the rows make room for their delete control, whose tap deletes the row.
TEST_F(AppTest, HistoryRowsAreDeletedByADragAndByTheirEditControl) {
    launchSettled();
    auto& store = CalcManager::shared();
    store.clearCalculations();
    for (const char* latex : {"D", "C", "B", "A"})
        store.insertCalculation(Calculation({}, latex, {}, {}));
    openMenuRow(0, 1);
    const auto table = history()->tableView();
    const auto rowCenter = [&](int row) {
        driver_.screen();
        const auto cell = table->cellForRow({0, row});
        return cell->convert(cell->bounds().center(), nullptr);
    };
    const auto latexes = [&] {
        std::string all;
        for (const auto& record : store.calculations)
            all += record.latexString;
        return all;
    };
    auto p = rowCenter(1);
    ASSERT_TRUE(driver_.drag(p, {p.x + 5, p.y + 4}).ok());  // mostly vertical: no delete
    EXPECT_EQ(latexes(), "ABCD");
    ASSERT_TRUE(driver_.drag(p, {p.x - 150, p.y + 10}).ok());
    EXPECT_EQ(latexes(), "ACD");
    EXPECT_EQ(analytics_.names().back(), "tapped_history_delete_single_calc");

    ASSERT_TRUE(driver_.tap(ViewQuery::byId("editButton")).ok());
    driver_.screen();
    const auto cell = table->cellForRow({0, 2});
    EXPECT_DOUBLE_EQ(cell->contentView()->frame().minX(), platform::UITableViewCell::kEditingInset);
    ASSERT_TRUE(driver_.tapAt(cell->convert(platform::CGPoint{20, 30}, nullptr)).ok());
    EXPECT_EQ(latexes(), "AC");
    EXPECT_EQ(table->numberOfRows(0), 2);
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("editButton")).ok());
    driver_.screen();
    EXPECT_DOUBLE_EQ(table->cellForRow({0, 0})->contentView()->frame().minX(), 0);
}

// Clear on a calculate page whose result page has never been shown: on a fresh install, after
// reopening a history record and after the menu's Calculate row. The result page has no table
// yet; the fields empty and the history stays as it was.
TEST_F(AppTest, ClearBeforeTheResultPageWasEverShown) {
    const struct {
        const char* road;
        std::function<void()> open;
    } roads[] = {
        {"fresh install", [] {}},
        {"reopened history record",
         [this] {
             openMenuRow(0, 1);
             tapRow(*history()->tableView(), 0, 0);
         }},
        {"menu's Calculate row", [this] { openMenuRow(0, 0); }},
    };
    for (const auto& road : roads) {
        SCOPED_TRACE(road.road);
        resetProcess();
        launchSettled();
        road.open();
        const auto result =
            std::dynamic_pointer_cast<SolutionViewController>(tabs()->viewControllers()[1]);
        ASSERT_TRUE(result);
        ASSERT_FALSE(result->isViewLoaded());
        type("aTextField", "7");
        const auto before = defaults().objectForKey(kCalculationsKey);
        ASSERT_TRUE(driver_.tap(ViewQuery::byId("toolbarRemoveButton")).ok());
        for (const char* id : {"aTextField", "uTextField", "vTextField"})
            EXPECT_EQ(field(id)->text(), "") << id;
        EXPECT_EQ(tabs()->selectedIndex(), 0);
        EXPECT_FALSE(platform::tabItem(*result)->isEnabled());
        EXPECT_EQ(defaults().objectForKey(kCalculationsKey), before);
        EXPECT_EQ(CalcManager::shared().calculations.size(), 1u);
        EXPECT_EQ(analytics_.names().back(), "tapped_clear");
    }
}

// From a fresh home: calculate, reopen the calculation from the history, clear the history.
TEST_F(AppTest, CalculateReopenAndClearThroughTheScreen) {
    launchSettled();
    type("aTextField", "2");
    type("uTextField", "4");
    type("vTextField", "8");
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("calculateButton")).ok());
    EXPECT_EQ(tabs()->selectedIndex(), 1);
    EXPECT_NE(driver_.screen().find("latex=\"5 = 5\""), std::string::npos);
    ASSERT_EQ(CalcManager::shared().calculations.size(), 2u);

    openMenuRow(0, 1);
    tapRow(*history()->tableView(), 0, 0);
    EXPECT_EQ(tabs()->selectedIndex(), 0);
    EXPECT_EQ(field("aTextField")->text(), "2");
    EXPECT_EQ(field("vTextField")->text(), "8");
    EXPECT_EQ(std::dynamic_pointer_cast<CalculateViewController>(tabs()->viewControllers()[0])
                  ->segmentedControl.lock()
                  ->selectedSegmentIndex(),
              0);

    openMenuRow(0, 1);
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("clearAllButton")).ok());
    ASSERT_TRUE(driver_.tap(ViewQuery::byText("Clear")).ok());
    EXPECT_TRUE(CalcManager::shared().calculations.empty());
    EXPECT_EQ(analytics_.names(), (std::vector<std::string>{
                                      "quro_calculate", "tapped_menu_button", "tapped_menu_history",
                                      "tapped_history_item", "tapped_menu_button",
                                      "tapped_menu_history", "tapped_history_clear"}));
}

// The toast of an input error, drawn over the window near its foot, leaves the help button in
// view.
TEST_F(AppTest, TheErrorToastLeavesTheHelpButtonFree) {
    launchSettled();
    type("aTextField", "2");
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("calculateButton")).ok());
    const auto toast = driver_.find(ViewQuery::byText("Please fill in all required values."));
    const auto help = driver_.find(ViewQuery::byId("manualButton"));
    ASSERT_TRUE(toast && help);
    const auto toastFrame = toast->convert(toast->bounds(), nullptr);
    EXPECT_FALSE(toastFrame.intersects(help->convert(help->bounds(), nullptr)));
    // The result page's floating buttons, shown while the toast still stands, are free too.
    type("uTextField", "4");
    type("vTextField", "8");
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("calculateButton")).ok());
    ASSERT_EQ(tabs()->selectedIndex(), 1);
    ASSERT_TRUE(driver_.find(ViewQuery::byText("Please fill in all required values.")));
    for (const char* id : {"shareButton", "manualButton"}) {
        const auto button = driver_.find(ViewQuery::byId(id));
        ASSERT_TRUE(button) << id;
        EXPECT_FALSE(toastFrame.intersects(button->convert(button->bounds(), nullptr))) << id;
    }
}

}  // namespace
}  // namespace app
