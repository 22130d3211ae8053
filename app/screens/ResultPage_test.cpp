#include <gtest/gtest.h>

#include <limits>

#include "app/charts/ChartTableViewCell.h"
#include "app/screens/ErrorManager.h"
#include "app/screens/ScreensTestSupport.h"
#include "app/screens/SolutionStepTableViewCell.h"
#include "app/screens/TableScreenshot.h"
#include "app/services/RemoteConfigManager.h"
#include "app/services/ViewManager.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/UIAlertController.h"

namespace app {
namespace {

using platform::ViewQuery;

TEST(LatexForDisplay, RewritesAsShown) {
    const std::pair<std::string, std::string> cases[] = {
        {"\\log_{2}(8) = 3.0", "\\log_{2}\\left(8\\right) = 3"},
        {"2.0 \\cdot 3.5", "2 \\cdot 3.5"},
        {"a*b", "a\\cdot b"},
        {"x = - -3", "x =3"},
        {"2.05 + 3.0 = 5.05", "2.05 + 3.0 = 5.05"},
        {"II) a (b)", "II) a \\left(b\\right)"},
        {"\\color{red}{x}", "\\;\\color{red}{x}"},
        {"1  +  2", "1 + 2"},
        {"a +- b", "a - b"},
        {"y = 1x", "y =x"},
        {"y = 2 + 0x", "y = 2 +"},
        {"1\\quad2", "1\\quad  2"}  // the pass that adds the space undoes the last one,
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(latexForDisplay(in), out) << in;
}

TEST(ErrorText, SplitsAtSectionSigns) {
    EXPECT_EQ(splitErrorText("a\u00a7\u00a7b"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(splitErrorText("notEnoughInputValues"),
              (std::vector<std::string>{"notEnoughInputValues"}));
    EXPECT_TRUE(splitErrorText("\u00a7").empty());
}

class ResultTest : public testing::PagesTest {
  protected:
    ResultTest() { showPages(); }
    static SolutionStep step(std::string title, std::string latex) {
        return makeStep(std::move(title), std::move(latex));
    }
    void fill(std::size_t count) {
        SolutionSteps steps;
        for (std::size_t i = 0; i < count; ++i)
            steps.push_back(step("Step", std::to_string(i)));
        calc_->presentSolution(steps, std::vector<ChartDataList>{}, std::string("qz_info"),
                               std::nullopt, 100);
        driver_.screen();
    }
    std::shared_ptr<platform::UIAlertController> alert() {
        return std::dynamic_pointer_cast<platform::UIAlertController>(
            result_->presentedViewController());
    }
};

// A formula wider than its row scrolls sideways; the row's visible part ends left of the
// floating buttons, so they never cover a formula.
TEST_F(ResultTest, LongFormulasScrollSidewaysLeftOfTheFloatingButtons) {
    std::string longSum = "1";
    for (int i = 2; i <= 40; ++i)
        longSum += " + \\frac{" + std::to_string(i) + "}{" + std::to_string(i + 1) + "}";
    calc_->presentSolution(SolutionSteps{step("Short", "1 + 1 = 2"), step("Long", longSum)},
                           std::vector<ChartDataList>{}, std::string("qz_info"), std::nullopt, 100);
    driver_.screen();
    const auto cellAt = [&](int row) {
        return std::dynamic_pointer_cast<SolutionStepTableViewCell>(
            result_->tableView->cellForRow({0, row}));
    };
    const auto shortRow = cellAt(0), longRow = cellAt(1);
    ASSERT_TRUE(shortRow && longRow);
    const double buttons =
        result_->shareButton->convert(result_->shareButton->bounds(), nullptr).minX();
    for (const auto& cell : {shortRow, longRow}) {
        const auto shown = cell->scrollView->convert(cell->scrollView->bounds(), nullptr);
        EXPECT_LE(shown.minX() + cell->scrollView->bounds().width(), buttons);
    }
    EXPECT_EQ(shortRow->scrollView->maxOffsetX(), 0);
    EXPECT_GT(longRow->scrollView->maxOffsetX(), 500);
    const auto p = longRow->scrollView->convert(longRow->scrollView->bounds().center(), nullptr);
    ASSERT_TRUE(driver_.scroll(p, 300, 0).ok());
    EXPECT_EQ(longRow->scrollView->contentOffset().x, 300);
    ASSERT_TRUE(driver_.drag(p, {p.x + 100, p.y}).ok());
    EXPECT_EQ(longRow->scrollView->contentOffset().x, 200);
    EXPECT_NE(driver_.screen().find(" offsetx=200"), std::string::npos);
}

// The page shows the solution it is given, all of it in place of the last one, from the top.
TEST_F(ResultTest, AGivenSolutionReplacesStepsChartsHelpImageAndHeights) {
    fill(12);
    auto& table = *result_->tableView;
    table.setContentOffset({0, 400});
    result_->showSolution({{step("Only", "1")},
                           {{std::make_shared<UnitCircleChartData>(1, 2, 3, 0, Quadrant::first)}},
                           std::nullopt,
                           std::map<int, double>{{0, 42}},
                           60});
    EXPECT_EQ(table.contentOffset().y, 0);
    EXPECT_EQ(result_->numberOfRowsInSection(table, 0), 1);
    EXPECT_EQ(result_->numberOfRowsInSection(table, 1), 1);
    EXPECT_EQ(result_->heightForRowAt(table, {0, 0}), 42);
    EXPECT_EQ(table.rowHeight, 60);
    tabs_->select(0);
    tabs_->select(1);
    const auto screen = driver_.screen();
    EXPECT_NE(screen.find("text=\"Only\""), std::string::npos) << screen;
    EXPECT_TRUE(driver_.find(ViewQuery::byId("shareButton")));
    EXPECT_FALSE(driver_.find(ViewQuery::byId("manualButton")));  // no help image
}

TEST_F(ResultTest, EmptyPageHidesShareAndDisablesItsTab) {
    tabs_->select(1);
    driver_.screen();
    EXPECT_EQ(result_->tableView->numberOfSections(), 1);
    EXPECT_EQ(result_->tableView->numberOfRows(0), 0);
    EXPECT_FALSE(driver_.find(ViewQuery::byId("shareButton")));
    EXPECT_FALSE(driver_.find(ViewQuery::byId("manualButton")));
    EXPECT_FALSE(platform::tabItem(*result_)->isEnabled());
    result_->videoUrlStrings = {"https://videos.example/1"};  // no steps: no video section
    EXPECT_EQ(result_->numberOfSections(*result_->tableView), 1);
}

TEST_F(ResultTest, SectionsAndRowHeights) {
    fill(3);
    auto& table = *result_->tableView;
    EXPECT_EQ(result_->numberOfSections(table), 1);
    result_->videoUrlStrings = {"https://videos.example/1"};
    EXPECT_EQ(result_->numberOfSections(table), 2);
    EXPECT_EQ(result_->numberOfRowsInSection(table, 1), 1);
    result_->configuredRowHeight = std::map<int, double>{{1, 42}};
    EXPECT_EQ(result_->heightForRowAt(table, {0, 0}), 100);
    EXPECT_EQ(result_->heightForRowAt(table, {0, 1}), 42);
    // A chart section comes before the video section.
    result_->chartSteps = {{std::make_shared<UnitCircleChartData>(1, 2, 3, 0, Quadrant::first)},
                           {},
                           {std::make_shared<ChartData>(std::numeric_limits<double>::infinity())},
                           {std::make_shared<ChartData>(-1)}};
    EXPECT_EQ(result_->numberOfSections(table), 3);
    EXPECT_EQ(result_->numberOfRowsInSection(table, 1), 4);
    EXPECT_EQ(result_->numberOfRowsInSection(table, 2), 1);
    const double width = result_->view()->frame().size.width;
    EXPECT_EQ(result_->heightForRowAt(table, {1, 0}), width / 2);
    // Lists that cannot size a chart take the row height.
    for (int row = 1; row < 4; ++row)
        EXPECT_EQ(result_->heightForRowAt(table, {1, row}), 100);
    EXPECT_EQ(result_->heightForRowAt(table, {2, 0}), rootViewWidth());
}

TEST_F(ResultTest, StepCellShowsBoldTitlesAndMessagesOverLatex) {
    const auto cell = SolutionStepTableViewCell::make();
    const std::tuple<std::string, std::string, std::string> titles[] = {
        {"Result#bold", "Result", "Avenir-Heavy"},
        {"Result", "Result", "Avenir-Book"},
        {"#bold Result", "#bold Result", "Avenir-Book"},
    };
    for (const auto& [title, shown, font] : titles) {
        cell->setTitle(title);
        EXPECT_EQ(cell->stepTitleLabel->text(), shown);
        EXPECT_EQ(cell->stepTitleLabel->font.name, font);
    }
    cell->setContent({{"title", "t"}, {"latexString", "(x)"}, {"messageString", "Note"}});
    EXPECT_EQ(cell->messageLabel->text(), "Note");
    EXPECT_EQ(cell->mathLabel->latex(), "");
    cell->setContent({{"title", "t"}, {"latexString", "(x)"}});
    EXPECT_EQ(cell->messageLabel->text(), "");
    EXPECT_EQ(cell->mathLabel->latex(), "\\left(x\\right)");
}

TEST_F(ResultTest, ShareAfterTheCaptureShowsTheSheetOnConfirmation) {
    fill(2);
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("shareButton")).ok());
    // The capture has ended while the alert is up: its request presents nothing.
    ASSERT_TRUE(alert());
    EXPECT_FALSE(isTakingScreenshot);
    ASSERT_TRUE(driver_.tap(ViewQuery::byText("OK")).ok());
    const auto sheet = std::dynamic_pointer_cast<platform::UIActivityViewController>(
        result_->presentedViewController());
    ASSERT_TRUE(sheet);
    ASSERT_EQ(sheet->activityItems().size(), 1u);
    const auto image = sheet->activityItems()[0].image;
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size().height, 200);  // two rows of 100 points
    EXPECT_EQ(
        analytics_.events(),
        (std::vector<AppAnalytics::Event>{{"quro_tapped_share",
                                           {{"solutionSteps", stepsAsArray(result_->solutionSteps)},
                                            {"solutionStepsCount", 2}}}}));
}

// With a chart row the capture waits 2 s under the loading overlay, which lies beneath the
// quality alert: one OK is enough, whether it comes during the capture (the sheet follows when
// the capture ends) or after it (the capture's own request presented nothing over the alert).
// A second tap on share meanwhile is only logged.
TEST_F(ResultTest, ShareWithAChartRowShowsOneSheetWhicheverOfOKAndCaptureEndComesFirst) {
    fill(1);
    result_->chartSteps = {{std::make_shared<UnitCircleChartData>(1, 2, 3, 0, Quadrant::first)}};
    result_->tableView->reloadData();
    const auto sheet = [&] {
        return std::dynamic_pointer_cast<platform::UIActivityViewController>(
            result_->presentedViewController());
    };
    const auto veiled = [] {
        return ViewManager::keyWindow()->viewWithTag(kLoadingOverlayTag) != nullptr;
    };
    for (const bool okDuringCapture : {true, false}) {
        SCOPED_TRACE(okDuringCapture ? "OK during the capture" : "OK after the capture");
        const std::size_t logged = analytics_.names().size();
        ASSERT_TRUE(driver_.tap(ViewQuery::byId("shareButton")).ok());
        ASSERT_TRUE(alert());
        EXPECT_TRUE(isTakingScreenshot);
        EXPECT_TRUE(veiled());
        result_->tappedShareButton();
        platform::runUntilIdle();
        EXPECT_EQ(analytics_.names().size(), logged + 2);
        if (okDuringCapture) {
            ASSERT_TRUE(driver_.tap(ViewQuery::byText("OK")).ok());
            EXPECT_FALSE(result_->presentedViewController());  // no images yet: no sheet
            EXPECT_TRUE(veiled());
        }
        clock_.advance(1.9);
        platform::runUntilIdle();
        EXPECT_TRUE(isTakingScreenshot);
        EXPECT_FALSE(sheet());
        clock_.advance(0.1);
        platform::runUntilIdle();
        EXPECT_FALSE(isTakingScreenshot);
        EXPECT_FALSE(veiled());
        if (!okDuringCapture) {
            EXPECT_TRUE(alert());
            ASSERT_TRUE(driver_.tap(ViewQuery::byText("OK")).ok());
        }
        ASSERT_TRUE(sheet());
        EXPECT_EQ(sheet()->activityItems().at(0).image->size().height, 100 + 195);
        sheet()->perform(std::nullopt);
        EXPECT_FALSE(result_->presentedViewController());
    }
}

TEST_F(ResultTest, ShareWithoutStepsOnlyLogs) {
    result_->view();
    result_->tappedShareButton();
    platform::runUntilIdle();
    EXPECT_FALSE(result_->presentedViewController());
    EXPECT_EQ(analytics_.events().at(0).parameters.at("solutionStepsCount"), platform::Object(0));
}

TEST_F(ResultTest, ClearEmptiesThePageAndTheNotificationReachesIt) {
    fill(3);
    result_->handleClearAllButton();
    EXPECT_EQ(result_->tableView->numberOfRows(0), 0);
    EXPECT_FALSE(result_->manualImageName);
    EXPECT_FALSE(platform::tabItem(*result_)->isEnabled());
    result_->handleClearAllButton();  // an empty page stays empty
    fill(2);
    platform::NotificationCenter::defaultCenter().postNotificationName(
        kClearCurrentCalculationNotification);
    EXPECT_TRUE(result_->solutionSteps.empty());
}

TEST_F(ResultTest, ObserverGoesWithTheScreen) {
    auto lone = platform::UIStoryboard::instantiate<SolutionViewController>(
        kSolutionStoryboard, "SolutionViewController");
    lone->view();
    std::weak_ptr<SolutionViewController> weak = lone;
    lone.reset();
    EXPECT_TRUE(weak.expired());
    platform::NotificationCenter::defaultCenter().postNotificationName(
        kClearCurrentCalculationNotification);  // reaches nobody, crashes nothing
}

TEST_F(ResultTest, ExportStitchesRowsAndRestoresTheOffset) {
    fill(12);
    auto& table = *result_->tableView;
    table.setContentOffset({0, 250});
    std::shared_ptr<platform::UIImage> image;
    bool done = false;
    tableScreenshot(table, std::nullopt, std::nullopt, [&](std::shared_ptr<platform::UIImage> i) {
        image = std::move(i);
        done = true;
    });
    ASSERT_TRUE(done);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size().height, 1200);
    EXPECT_EQ(image->size().width, table.bounds().size.width);
    EXPECT_EQ(table.contentOffset().y, 250);
}

TEST_F(ResultTest, StitchingAndEmptyTables) {
    EXPECT_FALSE(stitchImagesVertically({}));
    const auto stitched =
        stitchImagesVertically({std::make_shared<platform::UIImage>("a", platform::CGSize{10, 5}),
                                std::make_shared<platform::UIImage>("b", platform::CGSize{30, 7})});
    ASSERT_TRUE(stitched);
    EXPECT_EQ(stitched->size(), (platform::CGSize{30, 12}));
    result_->view();
    bool done = false;
    tableScreenshot(*result_->tableView, std::nullopt, std::nullopt,
                    [&](std::shared_ptr<platform::UIImage> i) {
                        EXPECT_FALSE(i);  // no rows, no header: no image
                        done = true;
                    });
    EXPECT_TRUE(done);
}

TEST_F(ResultTest, ChartCellSizesItsFrameAndStaysEmptyWithoutAView) {
    EXPECT_EQ(chartFrame(400, 2), (platform::CGRect{20, 10, 360, 180}));
    ChartTableViewCell cell;
    cell.contentView()->addSubview(std::make_shared<platform::UIView>());
    platform::UIView parent(platform::CGRect{0, 0, 400, 800});
    for (const ChartDataList& list :
         {ChartDataList{}, ChartDataList{std::make_shared<ChartData>(2.0)},
          ChartDataList{std::make_shared<CommonSplineChartData>(0.0)}}) {
        cell.configure(list, parent);
        EXPECT_TRUE(cell.contentView()->subviews().empty());
        EXPECT_EQ(cell.chartData.size(), list.size());
    }
}

}  // namespace
}  // namespace app
