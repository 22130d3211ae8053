// The result page handed one chart list of each kind, end to end: every chart shows in the
// screen dump and draws into the browser display's HTML, and the unit circle plays on the clock.

#include <gtest/gtest.h>

#include <numbers>

#include "app/charts/ChartTableViewCell.h"
#include "app/charts/UnitCircleChartView.h"
#include "app/core/SolutionStep.h"
#include "app/screens/ScreensTestSupport.h"
#include "platform/display/HtmlRender.h"

namespace app {
namespace {

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::vector<ChartDataList> oneListOfEachKind() {
    auto line = std::make_shared<LineChartData>(2);
    line->chartTitle = "Line", line->dataName = "f(x)", line->chartColorHexCode = "#FF8800";
    line->startPoint = {-2, -1}, line->endPoint = {2, 3}, line->markedPoints = {{0, 1}};
    line->axisLimit = 4;
    auto cdf = std::make_shared<DistributionFunctionChartData>(2);
    cdf->chartTitle = "CDF", cdf->dataName = "F(k)", cdf->xAxisName = "k";
    cdf->chartColorHexCode = "#3366FF", cdf->dataSet = {{0, 0.25}, {1, 0.75}, {2, 1}};
    auto presentation = std::make_shared<DistributionFunctionChartData>(2);
    presentation->isPresentationView = true, presentation->dataSet = {{1, 0.25}};
    auto sine = std::make_shared<TrigonometricChartData>(2);
    sine->type = TrigonometricType::sin, sine->lengthOfGraph = 2 * std::numbers::pi;
    sine->periodLength = 2 * std::numbers::pi, sine->amplitude = 1;
    auto density = std::make_shared<CommonSplineChartData>(2);
    density->chartTitle = "Splines", density->dataName = "density function";
    density->chartColorHexCode = "#00AA00", density->dataSet = {{0, 0}, {1, 2}, {2, 1}};
    auto other = std::make_shared<CommonSplineChartData>(2);
    other->dataName = "g", other->chartColorHexCode = "#AA00AA";
    other->dataSet = {{0, 1}, {2, 0}};
    auto histogram = std::make_shared<HistogramChartData>(2);
    histogram->chartTitle = "Histogram", histogram->dataName = "n", histogram->xAxisName = "k";
    histogram->dataSetWithColorTheme = {{"#CC0000", {{1, 2}, {2, 4}}}, {"#0000CC", {{3, 1}}}};
    auto tree = std::make_shared<BernoulliDistributionTreeChartData>(2);
    tree->chartTitle = "Tree", tree->probabilityOfSuccess = 0.3, tree->hits = 1, tree->trials = 2;
    auto circle =
        std::make_shared<UnitCircleChartData>(45, std::numbers::pi / 4, 0, 0, Quadrant::first);
    return {{line}, {cdf}, {presentation}, {sine}, {density, other}, {histogram}, {tree}, {circle}};
}

class ResultPageChartsTest : public testing::PagesTest {
  protected:
    ResultPageChartsTest() { showPages(); }
    // Scrolls chart row `row` to the top and returns the screen dump.
    std::string showRow(int row) {
        result_->tableView->scrollToRow({1, row}, platform::UITableViewScrollPosition::top, false);
        return driver_.screen();
    }
};

TEST_F(ResultPageChartsTest, EveryChartKindShowsInTheDumpAndTheBrowser) {
    calc_->presentSolution(SolutionSteps{makeStep("Your Input", "x")}, oneListOfEachKind(),
                           std::nullopt, std::nullopt, 100);
    ASSERT_EQ(result_->numberOfRowsInSection(*result_->tableView, 1), 8);
    const std::pair<int, std::string> expected[] = {
        {0, "AAChartView 0,0,351,175.5 text=\"Line\" role=line-chart/2"},
        {1, "AAChartView 0,0,351,175.5 text=\"CDF\" role=line-chart/2"},
        {2, "DistributionFunctionPresentationView 19.5,9.75,351,175.5"},
        {3, "AAChartView 0,0,351,175.5 text=\"Sin\" role=spline-chart/1"},
        {4, "AAChartView 0,0,351,175.5 text=\"Splines\" role=spline-chart/2"},
        {5, "AAChartView 0,0,351,175.5 text=\"Histogram\" bg=#ffffff role=area-chart/2"},
        {6, "TreeChartView 0,0,332,260"},
        {7, "UnitCircleChartView 19.5,9.75,351,175.5"},
    };
    for (const auto& [row, line] : expected) {
        EXPECT_NE(showRow(row).find(line), std::string::npos) << row;
        EXPECT_NE(platform::renderHtml(*window_).find("<svg class=\"drawn\""), std::string::npos);
    }
    // The drawn charts as the browser shows them: the sine in red, the histogram's two areas.
    showRow(3);
    auto html = platform::renderHtml(*window_);
    EXPECT_EQ(count(html, "stroke=\"rgba(255,0,0,1)\""), 1u);
    showRow(5);
    html = platform::renderHtml(*window_);
    EXPECT_NE(html.find("<polygon"), std::string::npos);
    EXPECT_NE(html.find("Histogram"), std::string::npos);

    // The tree: a card with its shadow, the canvas scrolling beneath the 18-point title, texts
    // of 12 points, the node values centred, the four leaf labels turned.
    const std::string tree = showRow(6);
    std::size_t at = 0;
    for (const char* line :
         {"UIView 19.5,9.75,351,175.5 bg=#ffffff\n", "  UIScrollView 0,0,351,175.5\n",
          "    TreeChartView 0,0,332,260 bg=#ffffff\n",
          "  UILabel 20,12,36,21.6 text=\"Tree\" color=#000000\n"}) {
        at = tree.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << tree;
    }
    html = platform::renderHtml(*window_);
    const std::string treeParts[] = {
        "width:351px;height:175.5px;background:rgba(255,255,255,1);"
        "box-shadow:0px 1.5px 4px rgba(0,0,0,0.5);\"><div data-type=\"UIScrollView\"",
        "<div data-type=\"UILabel\" style=\"position:absolute;left:20px;top:12px;width:36px;"
        "height:21.6px;\"><div class=\"text\" style=\"position:absolute;left:0px;top:0px;"
        "width:36px;height:21.6px;color:rgba(0,0,0,1);font:400 18px system-ui,sans-serif;",
        "top:80px;width:332px;height:14.4px;color:rgba(0,0,0,1);font:400 12px "
        "system-ui,sans-serif;text-align:left;white-space:pre;line-height:14.4px;\">0.7</div>",
        "left:118px;top:117.8px;width:30px;height:14.4px;color:rgba(0,0,0,1);font:400 12px "
        "system-ui,sans-serif;text-align:center;white-space:pre;line-height:14.4px;\">0</div>",
        "color:rgba(237,64,122,1);font:400 12px system-ui,sans-serif;text-align:left;"
        "white-space:pre;line-height:14.4px;overflow:visible;transform-origin:24px 7.2px;"
        "transform:rotate(-40deg);\">21%   01</div>",
    };
    for (const auto& part : treeParts)
        EXPECT_NE(html.find(part), std::string::npos) << part;
    EXPECT_EQ(count(html, "transform:rotate(-40deg)"), 4u);

    // The unit circle starts 0.5 s after its row is shown and plays its one round on the clock;
    // its quadrant labels fade out as it starts and the first one fades in as it ends.
    showRow(7);
    const auto cell =
        std::dynamic_pointer_cast<ChartTableViewCell>(result_->tableView->cellForRow({1, 7}));
    ASSERT_TRUE(cell);
    const auto circle =
        std::dynamic_pointer_cast<UnitCircleChartView>(cell->contentView()->subviews().at(0));
    ASSERT_TRUE(circle);
    html = platform::renderHtml(*window_);
    EXPECT_NE(html.find("<div data-type=\"FlatButton\" style=\"position:absolute;left:185.5px;"
                        "top:137.5px;width:155.5px;height:30px;background:rgba(237,64,122,1);"
                        "box-shadow:0px 1px 2px rgba(0,0,0,0.2);\"><span class=\"placeholder\" "
                        "data-image=\"ic_replay_white\""),
              std::string::npos);
    const struct {
        double advance;
        bool running;
        std::string dumpPart;
        std::size_t halfShown;  // views drawn at opacity 0.5: the resting button, fading labels
    } steps[] = {
        {0.75, true, "text=\"I\" alpha=0.5", 5},   // the four quadrant labels, half gone
        {1.25, false, "text=\"I\" alpha=0.5", 1},  // the first one, half back
        {0.5, false, "text=\"I\" color", 0},
    };
    for (const auto& step : steps) {
        clock_.advance(step.advance);
        platform::runUntilIdle();
        EXPECT_EQ(circle->isAnimationRunning, step.running) << step.advance;
        EXPECT_NE(driver_.screen().find(step.dumpPart), std::string::npos) << step.dumpPart;
        EXPECT_EQ(count(platform::renderHtml(*window_), "opacity:0.5;"), step.halfShown);
    }
    // Its arc an open red line, its pointer turned by 45 degrees counter-clockwise, and its two
    // projection lines, drawn with bevelled joins once they have grown.
    html = platform::renderHtml(*window_);
    EXPECT_EQ(count(html, "fill=\"none\" stroke=\"rgba(255,25,25,1)\" stroke-width=\"5\""), 1u);
    EXPECT_EQ(count(html, "height:175.5px;transform:rotate(-45deg);\""), 1u);
    EXPECT_EQ(count(html, "stroke-linejoin=\"bevel\""), 2u);
    EXPECT_NE(driver_.screen().find("text=\"45°\""), std::string::npos);
}

}  // namespace
}  // namespace app
