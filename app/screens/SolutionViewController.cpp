#include "app/screens/SolutionViewController.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "app/charts/ChartTableViewCell.h"
#include "app/screens/ManualViewController.h"
#include "app/screens/SolutionStepTableViewCell.h"
#include "app/screens/TableScreenshot.h"
#include "app/screens/VideoTutorialCells.h"
#include "app/services/AppAnalytics.h"
#include "app/services/CalculationType.h"
#include "app/services/ColorManager.h"
#include "app/services/QuroColor.h"
#include "app/services/RemoteConfigManager.h"
#include "app/services/Texts.h"
#include "app/services/ViewControllerHelpers.h"
#include "app/services/ViewManager.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/ui/UIAlertController.h"
#include "platform/ui/UIStoryboard.h"
#include "platform/ui/UIWindow.h"

namespace app {
namespace {

constexpr char kVideoCellId[] = "videoCollectionTableViewCell";

}  // namespace

platform::Array stepsAsArray(const SolutionSteps& steps) {
    platform::Array array;
    for (const auto& step : steps) {
        platform::Dictionary dictionary;
        for (const auto& [key, value] : step)
            dictionary[key] = value;
        array.emplace_back(std::move(dictionary));
    }
    return array;
}

SolutionViewController::SolutionViewController() {
    configureTabItem();
}

void SolutionViewController::configureTabItem() {
    setTabItem(*this, localized("Result"), !solutionSteps.empty());
}

void SolutionViewController::viewDidLoad() {
    AdHandlingViewController::viewDidLoad();
    const auto self = shared<SolutionViewController>();
    tableView->dataSource = self;
    tableView->tableDelegate = self;
    tableView->registerNib(kChartTableViewCellNib, kChartCellId);
    tableView->registerNib(kVideoCollectionTableViewCellNib, kVideoCellId);
    tableView->registerCell(kSolutionStepCellId, [] { return SolutionStepTableViewCell::make(); });
    shareButton->setImage(platform::Icon::share());
    configureTabItem();
    // The observation ends with the screen: the token goes when the controller goes.
    std::weak_ptr<SolutionViewController> weak = self;
    clearObserver_ = platform::NotificationCenter::defaultCenter().addObserverForName(
        kClearCurrentCalculationNotification, nullptr, [weak](const platform::Notification&) {
            if (const auto screen = weak.lock()) screen->handleClearAllButton();
        });
    const auto root = view();
    for (const auto& constraint : root->constraints()) {
        if (constraint->secondItem.lock() == tableView &&
            constraint->secondAttribute == platform::NSLayoutAttribute::trailing) {
            constraint->constant = -50;
            root->layoutIfNeeded();
            return;
        }
    }
    std::fputs("Der trailing Constraint der tableView wurde nicht gefunden.\n", stderr);
    std::abort();
}

void SolutionViewController::viewWillLayoutSubviews() {
    AdHandlingViewController::viewWillLayoutSubviews();
    const double w = view()->bounds().size.width, h = view()->bounds().size.height;
    tableView->setFrame({0, 0, w, std::max(0.0, h - 60)});
    if (const auto banner = bannerBackgroundView.lock()) banner->setFrame({0, h - 60, w, 60});
    // The floating buttons stay above where an error toast shows (120 points above the foot).
    shareButton->setFrame({w - 64, h - 250, 48, 48});
    if (const auto manual = manualButton.lock()) manual->setFrame({w - 64, h - 190, 48, 48});
}

void SolutionViewController::viewWillAppear(bool animated) {
    AdHandlingViewController::viewWillAppear(animated);
    ColorManager::styleSubviews(*view());
    if (const auto button = manualButton.lock()) {
        button->setHidden(!manualImageName || manualImageName->empty());
    }
    shareButton->setHidden(solutionSteps.empty());
    configureTabItem();
    videoUrlStrings = RemoteConfigManager::shared().videoTutorialLinks(kAppCalculationType);
    tableView->setTableFooterView(std::make_shared<platform::UIView>(
        platform::CGRect{0, 0, 0, tableView->frame().size.height / 4}));
    tableView->reloadData();
    if (bannerView) bannerView->setHidden(true);
    if (bottomBannerConstraint) bottomBannerConstraint->constant = windowBottomSafeAreaInset();
    view()->layoutIfNeeded();
    if (const auto toolbar = platform::toolbarController(*this)) {
        toolbar->toolbar()->setTitle(localized("Calculate Title"));
    }
}

void SolutionViewController::showSolution(Solution solution) {
    view();  // loads the page's table
    solutionSteps = std::move(solution.solutionSteps);
    tableView->reloadData();
    chartSteps = std::move(solution.chartSteps);
    manualImageName = std::move(solution.manualImageName);
    configuredRowHeight = std::move(solution.configuredRowHeight);
    tableView->rowHeight = solution.rowHeight;
    if (tableView->numberOfSections() > 0 && tableView->numberOfRows(0) > 0) {
        tableView->scrollToRow({0, 0}, platform::UITableViewScrollPosition::top, false);
    }
}

std::optional<int> SolutionViewController::videoSection() const {
    if (solutionSteps.empty() || videoUrlStrings.empty()) return std::nullopt;
    return hasChartSection() ? 2 : 1;
}

int SolutionViewController::numberOfSections(platform::UITableView&) {
    return 1 + (hasChartSection() ? 1 : 0) + (videoSection() ? 1 : 0);
}

int SolutionViewController::numberOfRowsInSection(platform::UITableView&, int section) {
    if (section == 0) return static_cast<int>(solutionSteps.size());
    if (section == videoSection()) return 1;
    return static_cast<int>(chartSteps.size());
}

double SolutionViewController::heightForRowAt(platform::UITableView& table,
                                              platform::NSIndexPath path) {
    if (path.section == 0) {
        if (configuredRowHeight) {
            if (const auto it = configuredRowHeight->find(path.row);
                it != configuredRowHeight->end()) {
                return it->second;
            }
        }
        return table.rowHeight;
    }
    if (path.section == videoSection()) return rootViewWidth();
    const auto& list = chartSteps.at(static_cast<std::size_t>(path.row));
    const auto ratio = usableFrameRatio(list);
    if (!ratio) return table.rowHeight;
    return view()->frame().size.width / *ratio;
}

std::shared_ptr<platform::UITableViewCell> SolutionViewController::cellForRowAt(
    platform::UITableView& table, platform::NSIndexPath path) {
    if (path.section == 0) {
        auto cell = table.dequeueReusableCell(kSolutionStepCellId, path);
        if (const auto stepCell = std::dynamic_pointer_cast<SolutionStepTableViewCell>(cell)) {
            const auto& step = solutionSteps.at(static_cast<std::size_t>(path.row));
            const auto title = step.find(kStepTitle);
            stepCell->setTitle(title == step.end() ? "" : title->second);
            stepCell->setContent(step);
        }
        return cell;
    }
    if (path.section == videoSection()) {
        auto cell = table.dequeueReusableCell(kVideoCellId, path);
        if (const auto videoCell = std::dynamic_pointer_cast<VideoCollectionTableViewCell>(cell)) {
            videoCell->videoUrlStringArray = videoUrlStrings;
            if (videoCell->videoCollectionView) videoCell->videoCollectionView->reloadData();
        }
        return cell;
    }
    auto cell = table.dequeueReusableCell(kChartCellId, path);
    cell->setBackgroundColor(platform::UIColor::clear());
    if (const auto chartCell = std::dynamic_pointer_cast<ChartTableViewCell>(cell)) {
        chartCell->configure(chartSteps.at(static_cast<std::size_t>(path.row)), *view());
    }
    return cell;
}

void SolutionViewController::willDisplayCell(platform::UITableView&,
                                             platform::UITableViewCell& cell,
                                             platform::NSIndexPath path) {
    auto* chartCell = dynamic_cast<ChartTableViewCell*>(&cell);
    if (!chartCell || path.section != 1 || chartSteps.empty()) return;
    platform::mainQueue().after(
        kChartAnimationDelaySeconds,
        [keep = chartCell->shared<ChartTableViewCell>()] { keep->startChartAnimation(); });
}

void SolutionViewController::tappedShareButton() {
    AppAnalytics::logEventWithName(
        "quro_tapped_share",
        {{"solutionSteps", stepsAsArray(solutionSteps)},
         {"solutionStepsCount", static_cast<std::int64_t>(solutionSteps.size())}});
    // One export at a time: a second tap while the capture runs only reports itself.
    if (exporting_) return;
    std::weak_ptr<SolutionViewController> weak = shared<SolutionViewController>();
    platform::mainQueue().async([weak] {
        const auto self = weak.lock();
        if (!self || self->solutionSteps.empty() || self->exporting_) return;
        self->exporting_ = true;
        isTakingScreenshot = true;
        ViewManager::showLoadingOverlayOnMainQueue();
        auto images = std::make_shared<std::vector<std::shared_ptr<platform::UIImage>>>();
        showAlert(*self, localized("sharingImageQualityTitle"),
                  localized("sharingImageQualityText"),
                  {std::make_shared<platform::UIAlertAction>(
                      "OK", platform::UIAlertAction::Style::defaultStyle,
                      [weak, images](platform::UIAlertAction&) {
                          if (const auto screen = weak.lock()) screen->presentShareSheet(*images);
                      })});
        tableScreenshot(*self->tableView, std::nullopt, std::nullopt,
                        [weak, images](std::shared_ptr<platform::UIImage> image) {
                            if (image) images->push_back(std::move(image));
                            ViewManager::removeLoadingOverlayOnMainQueue();
                            isTakingScreenshot = false;
                            const auto screen = weak.lock();
                            if (!screen) return;
                            screen->exporting_ = false;
                            screen->presentShareSheet(*images);
                        });
    });
}

void SolutionViewController::presentShareSheet(
    const std::vector<std::shared_ptr<platform::UIImage>>& images) {
    if (images.empty()) return;
    std::vector<platform::UIActivityItem> items;
    for (const auto& image : images)
        items.push_back({std::nullopt, image});
    auto sheet = std::make_shared<platform::UIActivityViewController>(std::move(items));
    if (platform::UIDevice::current().userInterfaceIdiom == platform::UIUserInterfaceIdiom::pad) {
        sheet->modalPresentationStyle = platform::UIModalPresentationStyle::popover;
        const auto popover = sheet->popoverPresentationController();
        const auto root = view();
        popover->sourceView = root;
        popover->sourceRect = {0, root->frame().size.height, root->frame().size.width, 50};
    }
    // Refused (and logged) while the quality alert is still on screen.
    present(sheet, true);
}

void SolutionViewController::manualButtonPressed() {
    if (!manualImageName || manualImageName->empty()) return;
    ManualViewController::presentManual(*this, *manualImageName);
}

void SolutionViewController::handleClearAllButton() {
    // Before the page has ever been shown its table does not exist: there is nothing on screen to
    // clear, but the data is cleared all the same.
    const auto table = isViewLoaded() ? tableView : nullptr;
    if (table && table->numberOfSections() > 0 && table->numberOfRows(0) > 0) {
        table->scrollToRow({0, 0}, platform::UITableViewScrollPosition::top, false);
    }
    solutionSteps.clear();
    if (table) table->reloadData();
    chartSteps.clear();
    setTabItem(*this, localized("Result"), false);
    manualImageName.reset();
    if (table) {
        table->setTableFooterView(nullptr);
        table->reloadData();
    }
}

void registerSolutionInterface() {
    static std::once_flag once;
    std::call_once(once, [] {
        registerChartTableViewCellNib();
        registerVideoTutorialNibs();
        platform::UIStoryboard::registerScene(kSolutionStoryboard, "SolutionViewController", [] {
            auto screen = std::make_shared<SolutionViewController>();
            screen->setViewLoader([](platform::UIViewController& vc) {
                auto& s = static_cast<SolutionViewController&>(vc);
                const auto bounds = platform::UIScreen::main().bounds;
                auto root = std::make_shared<platform::UIView>(bounds);
                root->setBackgroundColor(QuroColor::background());
                const double w = bounds.size.width, h = bounds.size.height;
                s.tableView =
                    std::make_shared<platform::UITableView>(platform::CGRect{0, 0, w, h - 60});
                s.tableView->accessibilityIdentifier = "tableView";
                root->addSubview(s.tableView);
                auto banner =
                    std::make_shared<platform::UIView>(platform::CGRect{0, h - 60, w, 60});
                root->addSubview(banner);
                s.bannerBackgroundView = banner;
                s.shareButton = std::make_shared<platform::FABButton>();
                s.shareButton->setFrame({w - 64, h - 250, 48, 48});
                s.shareButton->accessibilityIdentifier = "shareButton";
                root->addSubview(s.shareButton);
                auto manual = std::make_shared<platform::FABButton>();
                manual->setFrame({w - 64, h - 190, 48, 48});
                manual->accessibilityIdentifier = "manualButton";
                manual->setImage(platform::Icon::info());
                root->addSubview(manual);
                s.manualButton = manual;
                using A = platform::NSLayoutAttribute;
                using R = platform::NSLayoutRelation;
                s.bottomBannerConstraint = platform::NSLayoutConstraint::make(
                    root, A::bottom, R::equal, banner, A::bottom);
                platform::NSLayoutConstraint::activate(
                    {platform::NSLayoutConstraint::make(root, A::trailing, R::equal, s.tableView,
                                                        A::trailing),
                     s.bottomBannerConstraint});
                std::weak_ptr<SolutionViewController> weak = s.shared<SolutionViewController>();
                s.shareButton->addTarget(platform::UIControlEvents::touchUpInside,
                                         [weak](platform::UIControl&) {
                                             if (const auto c = weak.lock()) c->tappedShareButton();
                                         });
                manual->addTarget(platform::UIControlEvents::touchUpInside,
                                  [weak](platform::UIControl&) {
                                      if (const auto c = weak.lock()) c->manualButtonPressed();
                                  });
                return root;
            });
            return screen;
        });
    });
}

}  // namespace app
