#include "app/charts/ChartViews.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <tuple>

#include "app/charts/ChartOptions.h"
#include "app/charts/ChartTableViewCell.h"
#include "app/charts/DistributionFunctionPresentationView.h"
#include "app/core/NumberText.h"
#include "app/services/QuroColor.h"
#include "platform/ui/UIScrollView.h"

namespace app {
namespace {

using platform::CGContext;
using platform::CGRect;
using platform::DisplayItem;

std::vector<DisplayItem> drawn(const platform::UIView& view) {
    CGContext ctx;
    view.drawContent(ctx);
    return ctx.takeItems();
}

std::vector<std::string> texts(const std::vector<DisplayItem>& items) {
    std::vector<std::string> out;
    for (const auto& i : items)
        if (i.kind == DisplayItem::Kind::text && !i.text.empty()) out.push_back(i.text);
    return out;
}

std::size_t pathCount(const std::vector<DisplayItem>& items) {
    std::size_t n = 0;
    for (const auto& i : items)
        n += i.kind == DisplayItem::Kind::path;
    return n;
}

TEST(TrigonometricPoints, SamplesByTypeAndLength) {
    const double pi = std::numbers::pi;
    struct Case {
        TrigonometricType type;
        double length, offset;
        std::size_t count;
        double firstX, lastX;
    } cases[] = {
        {TrigonometricType::sin, 2 * pi, 0, 65, 0, 6.272},
        {TrigonometricType::tan, pi, 0, 201, 0, 3.2},
        {TrigonometricType::cos, 3, -1, 0, -1, 0},  // count checked below: x runs -1 to ~3
        {TrigonometricType::tan, -pi, 0, 201, 0, -3.2},
    };
    for (const auto& c : cases) {
        TrigonometricChartData d(2);
        d.type = c.type, d.lengthOfGraph = c.length, d.offset = c.offset;
        d.periodLength = 2 * pi, d.amplitude = 1;
        const auto pts = SplineChartManager::trigonometricPoints(d);
        ASSERT_FALSE(pts.empty());
        if (c.count) {
            EXPECT_EQ(pts.size(), c.count);
        }
        EXPECT_DOUBLE_EQ(pts.front()[0], c.firstX);
        EXPECT_NEAR(pts.back()[0], c.count ? c.lastX : 3.0, c.count ? 1e-9 : 0.05);
    }
}

TEST(TrigonometricPoints, MissingOrBrokenInputGivesNone) {
    auto make = [](auto change) {
        TrigonometricChartData d(2);
        d.type = TrigonometricType::sin, d.lengthOfGraph = 3, d.periodLength = 1;
        change(d);
        return SplineChartManager::trigonometricPoints(d).size();
    };
    EXPECT_EQ(make([](auto& d) { d.type.reset(); }), 0u);
    EXPECT_EQ(make([](auto& d) { d.lengthOfGraph.reset(); }), 0u);
    EXPECT_EQ(make([](auto& d) { d.periodLength = 0; }), 0u);
    EXPECT_EQ(make([](auto& d) { d.lengthOfGraph = std::numeric_limits<double>::quiet_NaN(); }),
              0u);
    // A huge tangent is capped instead of sampling without end.
    EXPECT_EQ(make([](auto& d) { d.type = TrigonometricType::tan, d.lengthOfGraph = 1e6; }),
              20001u);
}

TEST(DistributionFunction, ExtendsToTheLimits) {
    DistributionFunctionChartData d(2);
    d.dataSet = {{0, 0.2}, {1, 0.7}, {2, 1}};
    EXPECT_EQ(LineChartManager::distributionFunctionPoints(d),
              (ChartPoints{{-1, 0}, {0, 0.2}, {1, 0.7}, {2, 1}, {3, 1}}));
    d.isConverse = true;
    const auto converse = LineChartManager::distributionFunctionPoints(d);
    EXPECT_EQ(converse.front(), (std::vector<double>{-1, 1}));
    EXPECT_EQ(converse.back(), (std::vector<double>{3, 0}));
    d.dataSet = {{0, 1}, {}};
    EXPECT_TRUE(LineChartManager::distributionFunctionPoints(d).empty());
    EXPECT_EQ(LineChartManager::makeDistributionFunctionChartView(d, {}), nullptr);
}

const platform::AAOptions& optionsOf(const std::shared_ptr<platform::AAChartView>& chart) {
    static const platform::AAOptions kNone;
    return chart && chart->lastOptions() ? *chart->lastOptions() : kNone;
}

TEST(LineChart, AxisLimitSeriesAndPlot) {
    LineChartData d(2);
    d.axisLimit = -3, d.chartTitle = "Line", d.dataName = "f(x)", d.chartColorHexCode = "#FF0000";
    d.startPoint = {-3, -3}, d.endPoint = {3, 3}, d.markedPoints = {{0, 0}};
    auto view = LineChartManager::makeLineChartView(d, {0, 0, 360, 180});
    ASSERT_EQ(view->chartView->frame(), (CGRect{0, 0, 360, 180}));
    EXPECT_FALSE(view->chartView->scrollEnabled);
    const auto& o = optionsOf(view->chartView);
    EXPECT_EQ(o.xAxis->tickPositions,
              (std::vector<double>{-3, -2.25, -1.5, -0.75, 0, 0.75, 1.5, 2.25, 3}));
    EXPECT_EQ(o.yAxis->min, -3.0);
    EXPECT_EQ(o.yAxis->title->text, "f(x)");
    EXPECT_EQ(o.colors, (std::vector<std::string>{"#FF0000"}));
    ASSERT_EQ(o.series.size(), 2u);
    EXPECT_EQ(o.series[1].marker->toJSON(),
              (platform::Object::dict({{"radius", 5.0}, {"lineWidth", 0.0}})));
    const auto items = drawn(*view->chartView);
    EXPECT_EQ(texts(items), (std::vector<std::string>{"Line", "x", "f(x)"}));
    // The line runs corner to corner of the plot area (margin 30).
    bool found = false;
    for (const auto& i : items)
        if (i.kind == DisplayItem::Kind::path && i.points.size() == 2 &&
            i.points[0] == platform::CGPoint{30, 150} && i.points[1] == platform::CGPoint{330, 30})
            found = true;
    EXPECT_TRUE(found);
}

TEST(FunctionCharts, TypesTitlesAndBounds) {
    const double pi = std::numbers::pi;
    DistributionFunctionChartData dist(2);
    dist.dataSet = {{0, 0.2}, {1, 1}}, dist.dataName = "F", dist.xAxisName = "k";
    auto stepView = LineChartManager::makeDistributionFunctionChartView(dist, {0, 0, 200, 100});
    const auto& step = optionsOf(stepView->chartView);
    ASSERT_EQ(step.series.size(), 2u);
    EXPECT_EQ(step.series[0].step, "left");
    EXPECT_EQ(step.series[1].data.size(), 4u);
    EXPECT_EQ(step.xAxis->title->text, "k");
    EXPECT_EQ(step.xAxis->minorTickInterval, platform::Object(std::string("auto")));

    TrigonometricChartData trig(2);
    trig.type = TrigonometricType::tan, trig.lengthOfGraph = pi, trig.periodLength = 2 * pi;
    trig.amplitude = -1.5;
    auto tan = SplineChartManager::makeTrigonometricChartView(trig, {0, 0, 200, 100});
    const auto& o = optionsOf(tan->chartView);
    EXPECT_EQ(o.chart.type, platform::AAChartType::scatter);
    EXPECT_EQ(o.title->text, "Tan");
    EXPECT_EQ(o.yAxis->min, 3.0);  // -2 x amplitude, handed over as is
    EXPECT_EQ(o.yAxis->max, -3.0);
    EXPECT_EQ(o.xAxis->labels->formatter, std::string(kPiLabelFormatter));
    EXPECT_EQ(o.plotOptionsSeries->markerRadius, 1.0);
    // Reversed bounds still draw: 201 dots.
    std::size_t dots = 0;
    for (const auto& i : drawn(*tan->chartView))
        dots += i.kind == DisplayItem::Kind::fill && i.radius == 1;
    EXPECT_EQ(dots, 201u);
}

TEST(SplineChart, SeriesNamesAndColours) {
    auto a = std::make_shared<CommonSplineChartData>(2);
    a->chartTitle = "T", a->dataName = "density function", a->chartColorHexCode = "#00FF00";
    a->dataSet = {{0, 0}, {1, 1}};
    auto b = std::make_shared<CommonSplineChartData>(2);
    b->dataName = "g", b->dataSet = {{0, 1}, {1, 0}}, b->chartColorHexCode = "#0000FF";
    auto view = SplineChartManager::makeSplineChartView({a, b}, {0, 0, 200, 100});
    const auto& o = optionsOf(view->chartView);
    ASSERT_EQ(o.series.size(), 2u);
    EXPECT_EQ(o.series[0].name, "density func");
    EXPECT_EQ(o.title->text, "T");
    EXPECT_EQ(o.colors, (std::vector<std::string>{"#00FF00", "#0000FF"}));
    const auto items = drawn(*view->chartView);
    EXPECT_EQ(pathCount(items), 3u);  // axes and two curves
    EXPECT_EQ(items.back().color, platform::UIColor::hex("#0000FF")->resolved());
    EXPECT_EQ(SplineChartManager::makeSplineChartView({}, {}), nullptr);
}

TEST(AreaChart, GroupsEndOnTheAxis) {
    HistogramChartData d(2);
    d.dataName = "n";
    d.dataSetWithColorTheme = {{"#FF0000", {{3, 8}, {2, 5}, {4, 1}}}, {"#0000FF", {}}};
    auto view = AreaChartManager::makeAreaChartView(d, {0, 0, 200, 100});
    const auto& o = optionsOf(view->chartView);
    ASSERT_EQ(o.series.size(), 1u);
    EXPECT_EQ(o.series[0].data, (ChartPoints{{1, 0}, {3, 8}, {2, 5}, {4, 1}, {5, 0}}));
    EXPECT_EQ(o.series[0].step, "center");
    EXPECT_EQ(o.chart.type, platform::AAChartType::area);
    EXPECT_FALSE(o.colors.has_value());
    const auto items = drawn(*view->chartView);
    ASSERT_EQ(pathCount(items), 2u);
    EXPECT_TRUE(items.back().fill.has_value());
    d.dataSetWithColorTheme.clear();
    view = AreaChartManager::makeAreaChartView(d, {0, 0, 200, 100});
    EXPECT_TRUE(optionsOf(view->chartView).series.empty());
}

TEST(ProbabilityTree, LeavesAndHighlights) {
    struct Case {
        std::int64_t hits, trials;
        double p;
        std::vector<std::string> leaves;
        std::vector<bool> highlighted;  // leaves left to right
    } cases[] = {
        {0, 0, 0.5, {"100%   "}, {true}},
        {1, 2, 0.5, {"25%   00", "25%   01", "25%   10", "25%   11"}, {false, true, true, false}},
        {2, 2, 0.5, {"25%   00", "25%   01", "25%   10", "25%   11"}, {false, false, false, true}},
        {1, 2, 0.3, {"49%   00", "21%   01", "21%   10", "9%   11"}, {false, true, true, false}},
        {0, -3, 0.5, {"100%   "}, {true}},
    };
    for (const auto& c : cases) {
        TreeNode root;
        root.isHighlighted = true;
        buildTree(root, c.hits, c.trials);
        std::vector<const TreeNode*> leaves;
        std::function<void(const TreeNode&)> walk = [&](const TreeNode& n) {
            if (n.children.empty()) leaves.push_back(&n);
            for (const auto& ch : n.children)
                walk(*ch);
        };
        walk(root);
        ASSERT_EQ(leaves.size(), c.leaves.size());
        for (std::size_t i = 0; i < leaves.size(); ++i) {
            EXPECT_EQ(TreeChartManager::leafText(*leaves[i], formatG(c.p), formatG(1 - c.p)),
                      c.leaves[i]);
            EXPECT_EQ(leaves[i]->isHighlighted, c.highlighted[i]) << i;
        }
    }
    EXPECT_EQ(TreeChartManager::canvasSize(3), (platform::CGSize{464, 320}));
}

// The card: a scroll view over the whole canvas, pinned to the container's edges, under the title.
TEST(ProbabilityTree, ContainerScrollsTheCanvasBeneathItsTitle) {
    struct Case {
        std::int64_t trials;
        platform::CGSize canvas;  // none for a tree too big to draw
    } cases[] = {{0, {233, 140}}, {3, {464, 320}}, {64, {0, 0}}};
    for (const auto& c : cases) {
        BernoulliDistributionTreeChartData d(2);
        d.chartTitle = "Coin flips", d.trials = c.trials;
        const auto container = TreeChartManager::makeTreeChartView(d, {5, 6, 351, 175.5});
        ASSERT_EQ(container->subviews().size(), 2u);
        const auto scroll =
            std::dynamic_pointer_cast<platform::UIScrollView>(container->subviews()[0]);
        ASSERT_TRUE(scroll);
        EXPECT_EQ(scroll->frame(), (CGRect{0, 0, 351, 175.5}));
        EXPECT_FALSE(scroll->translatesAutoresizingMaskIntoConstraints);
        std::vector<platform::NSLayoutAttribute> pinned;
        for (const auto& pin : container->constraints())
            if (pin->firstItem.lock() == scroll && pin->secondItem.lock() == container &&
                pin->firstAttribute == pin->secondAttribute)
                pinned.push_back(pin->firstAttribute);
        EXPECT_EQ(pinned.size(), 4u);
        EXPECT_EQ(scroll->contentSize(), c.canvas) << c.trials;
        EXPECT_EQ(scroll->subviews().size(), c.canvas.width > 0 ? 1u : 0u);
        EXPECT_EQ(static_cast<const platform::UILabel&>(*container->subviews()[1]).font,
                  platform::UIFont::systemFont(18));
    }
}

TEST(ProbabilityTree, CanvasDrawsItsTextsWithValuesCentred) {
    BernoulliDistributionTreeChartData d(2);
    d.chartTitle = "Tree", d.probabilityOfSuccess = 0.3, d.hits = 1, d.trials = 2;
    auto container = TreeChartManager::makeTreeChartView(d, {0, 0, 300, 150});
    const auto items = drawn(*container->subviews().at(0)->subviews().at(0));
    const auto t = texts(items);
    EXPECT_EQ(t.front(), "0.3");
    EXPECT_EQ(t[1], "0.7");
    EXPECT_EQ(pathCount(items), 7u + 6u);  // seven circles, six edges
    auto text = [&](const std::string& s, std::size_t nth = 0) {
        for (const auto& i : items)
            if (i.kind == DisplayItem::Kind::text && i.text == s && nth-- == 0) return i;
        ADD_FAILURE() << "no text " << s;
        return DisplayItem{};
    };
    // Measured at half an em of 12 points a character, "0.7" ends where the mirror image of
    // "0.3" begins; both from the top of a one-line box.
    EXPECT_EQ(text("0.7").rect, (CGRect{166 - 332.0 / 8 - 18, 80, 332, 12 * 1.2}));
    EXPECT_EQ(text("0.7").style.font, platform::UIFont::systemFont(12));
    // The values centred on their circles in the default text colour, drawn depth first: "0" at
    // 133 (top 110), its "1" at 149.5 (top 160), then the root's "1" at 199.
    for (const auto& [value, nth, centre] :
         std::vector<std::tuple<std::string, std::size_t, platform::CGPoint>>{
             {"0", 0, {133, 125}}, {"1", 0, {149.5, 175}}, {"1", 1, {199, 125}}}) {
        const auto item = text(value, nth);
        EXPECT_EQ(item.style.alignment, platform::NSTextAlignment::center);
        EXPECT_EQ(item.rect.center(), centre) << value << nth;
        EXPECT_EQ(item.color, platform::UIColor::black().resolved());
    }
    // Highlighted leaves and the root's circle in the theme's pink, the others faint grey.
    EXPECT_EQ(text("21%   01").color, themePink().resolved());
    EXPECT_EQ(text("49%   00").color, QuroColor::systemGray().withAlphaComponent(0.3).resolved());
    EXPECT_EQ(items[2].color, themePink().resolved());
    // Leaf "01" (centre x 149.5, top 160), label 48 x 14.4: moved to its slanted place, turned by
    // -40 degrees and drawn centred there.
    const auto leaf = text("21%   01");
    EXPECT_DOUBLE_EQ(leaf.rotation, -0.6981317);
    EXPECT_NEAR(leaf.pivot.x, 149.5 - 0.86 * 48 + 24, 1e-9);
    EXPECT_NEAR(leaf.pivot.y, 160 + 30 + 2.2 * 2 + 18 + 7.2, 1e-9);
    EXPECT_NEAR(leaf.rect.minX(), leaf.pivot.x - 24, 1e-9);
    EXPECT_NEAR(leaf.rect.minY(), leaf.pivot.y - 7.2, 1e-9);
    EXPECT_NEAR(leaf.rect.width(), 48, 1e-9);
    EXPECT_NEAR(leaf.rect.height(), 14.4, 1e-9);
}

TEST(ChartCell, BuildsOneViewPerRow) {
    platform::UIView parent(CGRect{0, 0, 400, 800});
    auto spline = std::make_shared<CommonSplineChartData>(2);
    spline->dataSet = {{0, 1}};
    auto line = std::make_shared<LineChartData>(2);
    auto tree = std::make_shared<BernoulliDistributionTreeChartData>(2);
    struct Case {
        ChartDataList list;
        bool shows;
    } cases[] = {
        {{spline}, true}, {{spline, spline}, true}, {{spline, line}, false},
        {{line}, true},   {{tree}, true},           {{}, false},
    };
    ChartTableViewCell cell;  // reused throughout: each row replaces the previous view
    for (const auto& c : cases) {
        cell.configure(c.list, parent);
        ASSERT_EQ(cell.contentView()->subviews().size(), c.shows ? 1u : 0u);
        if (c.shows) {
            EXPECT_EQ(cell.contentView()->subviews().front()->frame(), (CGRect{20, 10, 360, 180}));
        }
    }
}

TEST(DistributionPresentation, MiddleLineAndEmptyDataSet) {
    platform::UIView parent(CGRect{0, 0, 400, 800});
    ChartTableViewCell cell;
    for (const auto& [dataSet, middle] : std::vector<std::pair<ChartPoints, std::string>>{
             {{{1, 0.25}}, "0.25;"}, {{{0.0, 1e-12}}, "0;"}, {{}, ""}, {{{}}, ""}}) {
        auto d = std::make_shared<DistributionFunctionChartData>(2);
        d->isPresentationView = true, d->dataSet = dataSet;
        cell.configure({d}, parent);
        if (middle.empty()) {
            EXPECT_TRUE(cell.contentView()->subviews().empty());
            continue;
        }
        auto view = std::dynamic_pointer_cast<DistributionFunctionPresentationView>(
            cell.contentView()->subviews().at(0));
        ASSERT_TRUE(view);
        EXPECT_EQ(view->label2->latex(), middle);
        EXPECT_EQ(view->label1->latex(), "0;");
        EXPECT_EQ(view->label5->latex(), "\\quad 0 \\le x < 1");
        EXPECT_EQ(view->labelMid->fontSize, 46);
    }
}

}  // namespace
}  // namespace app
