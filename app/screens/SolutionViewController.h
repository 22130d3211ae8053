#pragma once

// The result page: the numbered steps of the last calculation, optional chart rows and one row of
// tutorial videos; a share button exports the whole table as one image, a help button opens the
// help screen. Built by the interface "SolutionViewController". Main thread only.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/ChartData.h"
#include "app/core/SolutionStep.h"
#include "app/screens/AdHandlingViewController.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/kits/Material.h"
#include "platform/ui/UITableView.h"

namespace app {

inline constexpr char kSolutionStoryboard[] = "SolutionViewController";
inline constexpr char kClearCurrentCalculationNotification[] =
    "ClearCurrentCalculationNotification";
inline constexpr double kChartAnimationDelaySeconds = 0.5;
// The height of a step row on the calculation's road.
inline constexpr double kSolutionRowHeight = 100.0;

// What the result page shows of one calculation: its steps, one chart row per chart list, the
// help screen's image (none hides the help button), and the step rows' heights: those of
// `configuredRowHeight` by row, `rowHeight` for the rest.
struct Solution {
    SolutionSteps solutionSteps;
    std::vector<ChartDataList> chartSteps;
    std::optional<std::string> manualImageName;
    std::optional<std::map<int, double>> configuredRowHeight;
    double rowHeight = kSolutionRowHeight;
};

class SolutionViewController : public AdHandlingViewController,
                               public platform::UITableViewDataSource,
                               public platform::UITableViewDelegate {
  public:
    SolutionViewController();

    std::shared_ptr<platform::UITableView> tableView;
    std::shared_ptr<platform::FABButton> shareButton;
    std::weak_ptr<platform::FABButton> manualButton;
    std::weak_ptr<platform::UIView> bannerBackgroundView;
    std::shared_ptr<platform::NSLayoutConstraint> bottomBannerConstraint;
    // What the page shows: set by showSolution, emptied by handleClearAllButton; the video links
    // are fetched each time the page is about to appear.
    std::optional<std::map<int, double>> configuredRowHeight;
    std::optional<std::string> manualImageName;
    SolutionSteps solutionSteps;
    std::vector<ChartDataList> chartSteps;
    std::vector<std::string> videoUrlStrings;

    void viewDidLoad() override;
    void viewWillLayoutSubviews() override;
    void viewWillAppear(bool animated) override;

    // Shows `solution` in place of what the page showed, from its first row.
    void showSolution(Solution solution);
    void tappedShareButton();
    void manualButtonPressed();
    void handleClearAllButton();
    void presentShareSheet(const std::vector<std::shared_ptr<platform::UIImage>>& images);
    // Whether an image export is under way (a second share tap then only logs).
    bool isExporting() const { return exporting_; }

    // Step rows, then chart rows, then the video row.
    int numberOfSections(platform::UITableView& tableView) override;
    int numberOfRowsInSection(platform::UITableView& tableView, int section) override;
    double heightForRowAt(platform::UITableView& tableView, platform::NSIndexPath path) override;
    std::shared_ptr<platform::UITableViewCell> cellForRowAt(platform::UITableView& tableView,
                                                            platform::NSIndexPath path) override;
    void willDisplayCell(platform::UITableView& tableView, platform::UITableViewCell& cell,
                         platform::NSIndexPath path) override;

  private:
    bool hasChartSection() const { return !chartSteps.empty(); }
    // The index of the video section, or none: computed once from steps and links.
    std::optional<int> videoSection() const;
    void configureTabItem();
    platform::NotificationObserver clearObserver_;
    bool exporting_ = false;
};

// Steps as the analytics events carry them: an array of dictionaries of texts.
platform::Array stepsAsArray(const SolutionSteps& steps);

// Registers the interface "SolutionViewController" and the cell nibs the page uses (idempotent).
void registerSolutionInterface();

}  // namespace app
