#include "app/charts/ChartViews.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "app/charts/ChartOptions.h"
#include "app/core/NumberText.h"
#include "app/core/QuroMathOperation.h"
#include "app/services/ColorManager.h"
#include "app/services/QuroColor.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIScrollView.h"

namespace app {

using platform::CGContext;
using platform::CGPoint;
using platform::CGRect;
using platform::UIBezierPath;
using platform::UIColor;

namespace {

double round3(double x) {
    return QuroMathOperation::roundToDecimalPlaces(x, 3).value;
}

std::shared_ptr<platform::AAChartView> makeAAChartView(CGRect frame) {
    auto chart = std::make_shared<platform::AAChartView>(frame);
    chart->scrollEnabled = false;
    chart->isClearBackgroundColor = true;
    return chart;
}

platform::AASeriesElement seriesOf(const std::string& name, const ChartPoints& data) {
    platform::AASeriesElement s;
    s.name = name;
    s.data = data;
    return s;
}

platform::AAMarker markerOfRadius(double radius) {
    platform::AAMarker m;
    m.radius = radius;
    return m;
}

}  // namespace

FunctionChartView::FunctionChartView(CGRect frame) : platform::UIView(frame) {
    contentView = std::make_shared<platform::UIView>(bounds());
    contentView->autoresizingMask =
        platform::UIViewAutoresizing::flexibleWidth | platform::UIViewAutoresizing::flexibleHeight;
    addSubview(contentView);
    const CGRect content = contentView->bounds();
    chartView = makeAAChartView({0, 0, content.width(), content.height()});
    ColorManager::addShadow(*contentView->layer());
    contentView->addSubview(chartView);
}

void FunctionChartView::drawModel(platform::AAChartModel model, platform::AAChartType chartType,
                                  const std::string& title,
                                  std::optional<std::vector<std::string>> colors,
                                  std::vector<platform::AASeriesElement> series,
                                  double markerRadius, const std::string& xAxisTitle,
                                  std::optional<double> xMin, std::optional<double> xMax,
                                  const std::string& yAxisTitle, std::optional<double> yMin,
                                  std::optional<double> yMax, bool usesPiLabels) {
    if (!chartView) return;
    model.chartType = chartType;
    model.title = title;
    model.colorsTheme = std::move(colors);
    model.series = std::move(series);
    model.markerRadius = markerRadius;
    chartView->aa_drawChartWithChartOptions(
        makeChartOptions(model, xAxisTitle, xMax, xMin, yAxisTitle, yMax, yMin, usesPiLabels));
}

void LineChartView::drawLineChart(const ChartPoints& linePoints, const ChartPoints& markedPoints,
                                  const std::string& seriesName, const std::string& title,
                                  const std::string& colorHexCode, platform::AAChartType chartType,
                                  double markerRadius, std::optional<double> xMin,
                                  std::optional<double> xMax, std::optional<double> yMin,
                                  std::optional<double> yMax) {
    auto marked = seriesOf(seriesName, markedPoints);
    marked.marker = markerOfRadius(5);
    marked.marker->lineWidth = 0;
    drawModel(makeBaseChartModel(), chartType, title, std::vector{colorHexCode},
              {seriesOf(seriesName, linePoints), std::move(marked)}, markerRadius, "x", xMin, xMax,
              seriesName, yMin, yMax, false);
}

void LineChartView::drawStepLineChart(const ChartPoints& jumpPoints, const ChartPoints& linePoints,
                                      const std::string& seriesName, const std::string& title,
                                      const std::string& xAxisTitle,
                                      const std::string& colorHexCode,
                                      platform::AAChartType chartType, double markerRadius,
                                      std::optional<double> yMax, std::optional<double> yMin) {
    auto jumps = seriesOf(seriesName, jumpPoints);
    jumps.step = "left";
    jumps.marker = markerOfRadius(5);
    auto line = seriesOf(seriesName, linePoints);
    line.step = "left";
    drawModel(makeBaseChartModel(), chartType, title, std::vector{colorHexCode},
              {std::move(jumps), std::move(line)}, markerRadius, xAxisTitle, std::nullopt,
              std::nullopt, seriesName, yMin, yMax, false);
}

void SplineChartView::drawFunctionChart(const ChartPoints& points, const std::string& seriesName,
                                        const std::string& title, const std::string& colorHexCode,
                                        platform::AAChartType chartType, double markerRadius,
                                        std::optional<double> yMax, std::optional<double> yMin,
                                        bool usesPiLabels) {
    drawModel(makeBaseChartModel(), chartType, title, std::vector{colorHexCode},
              {seriesOf(seriesName, points)}, markerRadius, "x", std::nullopt, std::nullopt,
              seriesName, yMin, yMax, usesPiLabels);
}

void SplineChartView::drawSplineChart(
    const std::vector<std::pair<std::string, ChartPoints>>& series, const std::string& yAxisTitle,
    const std::string& title, const std::vector<std::string>& colorHexCodes,
    platform::AAChartType chartType, double markerRadius, std::optional<double> yMax,
    std::optional<double> yMin) {
    std::vector<platform::AASeriesElement> elements;
    for (const auto& [rawName, points] : series) {
        std::string name = rawName;
        for (std::size_t at = name.find("function"); at != std::string::npos;
             at = name.find("function", at + 4))
            name.replace(at, 8, "func");
        elements.push_back(seriesOf(name, points));
    }
    drawModel(makeBaseChartModel(), chartType, title, colorHexCodes, std::move(elements),
              markerRadius, "x", std::nullopt, std::nullopt, yAxisTitle, yMin, yMax, false);
}

AreaChartView::AreaChartView(CGRect frame) : platform::UIView(frame) {
    autoresizingMask =
        platform::UIViewAutoresizing::flexibleWidth | platform::UIViewAutoresizing::flexibleHeight;
    chartView = makeAAChartView({0, 0, frame.width(), frame.height()});
    chartView->setBackgroundColor(UIColor::systemBackground());
    ColorManager::addShadow(*chartView->layer());
    addSubview(chartView);
}

// ---- Line charts

std::shared_ptr<LineChartView> LineChartManager::makeLineChartView(const LineChartData& data,
                                                                   CGRect frame) {
    auto view = std::make_shared<LineChartView>(frame);
    const double limit = std::fabs(data.axisLimit);
    std::optional<double> lo, hi;
    if (std::isfinite(limit)) lo = -limit, hi = limit;
    view->drawLineChart({data.startPoint, data.endPoint}, data.markedPoints, data.dataName,
                        data.chartTitle, data.chartColorHexCode, platform::AAChartType::line, 0, lo,
                        hi, lo, hi);
    return view;
}

ChartPoints LineChartManager::distributionFunctionPoints(
    const DistributionFunctionChartData& data) {
    if (data.dataSet.empty() || data.dataSet.front().empty() || data.dataSet.back().empty())
        return {};
    ChartPoints points;
    points.push_back({data.dataSet.front()[0] - 1, data.isConverse ? 1.0 : 0.0});
    points.insert(points.end(), data.dataSet.begin(), data.dataSet.end());
    points.push_back({data.dataSet.back()[0] + 1, data.isConverse ? 0.0 : 1.0});
    return points;
}

std::shared_ptr<LineChartView> LineChartManager::makeDistributionFunctionChartView(
    const DistributionFunctionChartData& data, CGRect frame) {
    auto line = distributionFunctionPoints(data);
    if (line.empty()) return nullptr;
    auto view = std::make_shared<LineChartView>(frame);
    view->drawStepLineChart(data.dataSet, line, data.dataName, data.chartTitle, data.xAxisName,
                            data.chartColorHexCode, platform::AAChartType::line, 0, std::nullopt,
                            std::nullopt);
    return view;
}

// ---- Spline charts

namespace {
constexpr std::int64_t kMaxIntervals = 20000;
}

ChartPoints SplineChartManager::trigonometricPoints(const TrigonometricChartData& data) {
    if (!data.lengthOfGraph || !data.type) return {};
    const double end = *data.lengthOfGraph + std::fabs(data.offset);
    if (!std::isfinite(end) || !std::isfinite(data.offset) || !std::isfinite(data.amplitude) ||
        !std::isfinite(data.periodLength) || data.periodLength == 0)
        return {};
    const double pi = std::numbers::pi;
    const double magnitude = std::fabs(end);
    // The tangent needs dense samples for its steep branches; |end| keeps the density positive
    // for a graph of negative length.
    const double density = *data.type == TrigonometricType::tan ? magnitude / pi * 200 : 32;
    const double largestStep = pi / density;
    std::int64_t n = 4;
    if (!(magnitude * 0.25 <= largestStep)) {
        n = 6;
        while (magnitude / static_cast<double>(n) > largestStep && n < kMaxIntervals)
            n += 2;
    }
    const double step = round3(end / static_cast<double>(n));
    ChartPoints points;
    points.reserve(static_cast<std::size_t>(n) + 1);
    for (std::int64_t i = 0; i <= n; ++i) {
        const double x = step * static_cast<double>(i) + data.offset;
        const double arg = 2 * pi / data.periodLength * x;
        double f = 0;
        switch (*data.type) {
            case TrigonometricType::sin:
                f = std::sin(arg);
                break;
            case TrigonometricType::cos:
                f = std::cos(arg);
                break;
            default:
                f = std::tan(arg);
                break;
        }
        points.push_back({x, round3(data.amplitude * f)});
    }
    return points;
}

std::shared_ptr<SplineChartView> SplineChartManager::makeTrigonometricChartView(
    const TrigonometricChartData& data, CGRect frame) {
    auto points = trigonometricPoints(data);
    if (points.empty()) return nullptr;
    const char *name = "tan(x)", *title = "Tan", *color = "#00E13A";
    auto type = platform::AAChartType::scatter;
    double radius = 1;
    std::optional<double> yMin, yMax;
    switch (*data.type) {
        case TrigonometricType::sin:
            name = "sin(x)", title = "Sin", color = "#FF0000";
            type = platform::AAChartType::spline, radius = 0;
            break;
        case TrigonometricType::cos:
            name = "cos(x)", title = "Cos", color = "#000CFF";
            type = platform::AAChartType::spline, radius = 0;
            break;
        default:
            yMin = -2 * data.amplitude, yMax = 2 * data.amplitude;
            break;
    }
    auto view = std::make_shared<SplineChartView>(frame);
    view->drawFunctionChart(points, name, title, color, type, radius, yMax, yMin, true);
    return view;
}

std::shared_ptr<SplineChartView> SplineChartManager::makeSplineChartView(
    const std::vector<std::shared_ptr<CommonSplineChartData>>& list, CGRect frame) {
    if (list.empty() || !list.front()) return nullptr;
    auto view = std::make_shared<SplineChartView>(frame);
    std::vector<std::string> colors;
    std::vector<std::pair<std::string, ChartPoints>> series;
    for (const auto& d : list) {
        if (!d) continue;
        colors.push_back(d->chartColorHexCode);
        series.emplace_back(d->dataName, d->dataSet);
    }
    view->drawSplineChart(series, "y", list.front()->chartTitle, colors,
                          platform::AAChartType::spline, 0, std::nullopt, std::nullopt);
    return view;
}

// ---- Area chart

void AreaChartManager::appendHistogramSeries(const std::string& hexColor,
                                             const ChartPoints& dataValues,
                                             const HistogramChartData& chartData,
                                             std::vector<platform::AASeriesElement>& series) {
    if (dataValues.empty()) return;
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (const auto& p : dataValues) {
        const double x = p.empty() ? 0 : p[0];
        lo = std::min(lo, x);
        hi = std::max(hi, x);
    }
    ChartPoints points{{lo - 1, 0}};
    points.insert(points.end(), dataValues.begin(), dataValues.end());
    points.push_back({hi + 1, 0});
    auto element = seriesOf(chartData.dataName, points);
    element.step = "center";
    element.color = hexColor;
    series.push_back(std::move(element));
}

std::shared_ptr<AreaChartView> AreaChartManager::makeAreaChartView(const HistogramChartData& data,
                                                                   CGRect frame) {
    std::vector<platform::AASeriesElement> series;
    for (const auto& group : data.dataSetWithColorTheme)
        appendHistogramSeries(group.hexColor, group.dataValues, data, series);
    auto view = std::make_shared<AreaChartView>(frame);
    auto model = makeBaseChartModel();
    model.chartType = platform::AAChartType::area;
    model.title = data.chartTitle;
    model.series = std::move(series);
    model.markerRadius = 0;
    view->chartView->aa_drawChartWithChartOptions(
        makeChartOptions(model, data.xAxisName, std::nullopt, std::nullopt, data.dataName,
                         std::nullopt, std::nullopt, false));
    return view;
}

// ---- Probability tree

void buildTree(TreeNode& node, std::int64_t hitsNeeded, std::int64_t trials) {
    if (trials <= 0) return;
    for (int event = 0; event < 2; ++event) {
        auto child = std::make_shared<TreeNode>();
        child->value = event == 0 ? "0" : "1";
        child->chainOfEvents = node.chainOfEvents;
        child->chainOfEvents.push_back(child->value);
        const std::int64_t left = hitsNeeded - event;
        child->isHighlighted = 0 <= left && left <= trials - 1;
        buildTree(*child, left, trials - 1);
        node.children.push_back(std::move(child));
    }
}

std::string TreeChartManager::leafText(const TreeNode& leaf, const std::string& success,
                                       const std::string& failure) {
    const double ps = std::strtod(success.c_str(), nullptr);
    const double pf = std::strtod(failure.c_str(), nullptr);
    double probability = 1;
    std::string chain;
    for (const auto& e : leaf.chainOfEvents) {
        probability *= e == "1" ? ps : pf;
        chain += e;
    }
    return formatG(QuroMathOperation::roundToDecimalPlaces(probability * 100, 2).value) + "%   " +
           chain;
}

platform::CGSize TreeChartManager::canvasSize(std::int64_t trials) {
    const double n = static_cast<double>(std::max<std::int64_t>(trials, 0));
    return {std::pow(2.0, n) * 33 + 200, 60 * n + 140};
}

namespace {

// The tree's texts are set in the system font of size 12 and measured with the label layout's
// model of text metrics (platform::textSize).
const platform::UIFont kTreeFont = platform::UIFont::systemFont(12);
const platform::UIFont kTreeTitleFont = platform::UIFont::systemFont(18);
// Leaf labels slant upwards to the right, so that neighbouring leaves' labels do not overlap.
constexpr double kLeafLabelAngle = -0.6981317;  // -40 degrees
constexpr double kNodeDiameter = 30;

UIColor treeColorOf(const TreeNode& node) {
    return node.isHighlighted ? themePink() : QuroColor::systemGray().withAlphaComponent(0.3);
}

}  // namespace

TreeChartView::TreeChartView(CGRect frame) : platform::UIView(frame) {
    setBackgroundColor(QuroColor::background());
}

platform::TextStyle TreeChartView::textStyle() const {
    return {kTreeFont, platform::NSTextAlignment::left, false};
}

void TreeChartView::draw(CGContext& ctx, CGRect rect) const {
    const double mid = (rect.minX() + rect.width() / 2), w = rect.width();
    // A text is drawn from the top of its box: the box is one line tall.
    const double lineHeight = platform::textSize("", kTreeFont).height;
    if (probabilitySuccess)
        ctx.drawText(*probabilitySuccess, {mid + w / 8, 80, w, lineHeight}, QuroColor::label());
    if (probabilityFailure) {
        // It ends where the success text's mirror image begins.
        const double tw = platform::textSize(*probabilityFailure, kTreeFont).width;
        ctx.drawText(*probabilityFailure, {mid - w / 8 - tw, 80, w, lineHeight},
                     QuroColor::label());
    }
    if (rootNode) drawNode(ctx, *rootNode, {mid, 60}, w - 200);
}

void TreeChartView::drawNode(CGContext& ctx, const TreeNode& node, CGPoint at, double width) const {
    const double r = kNodeDiameter / 2;
    UIBezierPath circle = UIBezierPath::ovalIn({at.x - r, at.y, kNodeDiameter, kNodeDiameter});
    circle.lineWidth = 2;
    ctx.drawPath(circle, treeColorOf(node), std::nullopt);
    // The value sits centred on the circle, in the default text colour.
    const double lineHeight = platform::textSize(node.value, kTreeFont).height;
    ctx.saveGState();
    ctx.setTextStyle({kTreeFont, platform::NSTextAlignment::center, false});
    ctx.drawText(node.value, {at.x - r, at.y + r - lineHeight / 2, kNodeDiameter, lineHeight},
                 UIColor::black());
    ctx.restoreGState();
    const auto k = static_cast<double>(node.children.size());
    if (k > 0) {
        const double spacing = width / k;
        for (std::size_t i = 0; i < node.children.size(); ++i) {
            const auto& child = *node.children[i];
            const double cx = at.x - spacing * (k / 2 - static_cast<double>(i)) + spacing / 2;
            UIBezierPath edge;
            edge.lineWidth = 2;
            edge.moveTo({at.x, at.y + 30});
            edge.addLineTo({cx, at.y + 50});
            ctx.drawPath(edge, treeColorOf(child), std::nullopt);
            drawNode(ctx, child, {cx, at.y + 50}, width / 2);
        }
        return;
    }
    const std::string text = TreeChartManager::leafText(node, probabilitySuccess.value_or("0"),
                                                        probabilityFailure.value_or("0"));
    const auto size = platform::textSize(text, kTreeFont);
    const double tw = size.width, th = size.height;
    const auto events = static_cast<double>(node.chainOfEvents.size());
    ctx.saveGState();
    ctx.translate(at.x - 0.86 * tw + tw / 2, at.y + 30 + 2.2 * events + 18 + th / 2);
    ctx.rotate(kLeafLabelAngle);
    ctx.drawText(text, {-tw / 2, -th / 2, tw, th}, treeColorOf(node));
    ctx.restoreGState();
}

std::shared_ptr<platform::UIView> TreeChartManager::makeTreeChartView(
    const BernoulliDistributionTreeChartData& data, CGRect frame) {
    auto container = std::make_shared<platform::UIView>(frame);
    container->setBackgroundColor(QuroColor::background());
    auto scroll = std::make_shared<platform::UIScrollView>(container->bounds());
    scroll->translatesAutoresizingMaskIntoConstraints = false;
    if (data.trials <= kMaxTreeTrials) {
        const double p = data.probabilityOfSuccess;
        const auto size = canvasSize(data.trials);
        auto tree = std::make_shared<TreeChartView>(CGRect{0, 0, size.width, size.height});
        tree->chartTitle = data.chartTitle;
        tree->probabilitySuccess = formatG(p);
        tree->probabilityFailure = formatG(1 - p);
        tree->rootNode = std::make_shared<TreeNode>();
        tree->rootNode->isHighlighted = true;
        buildTree(*tree->rootNode, data.hits, data.trials);
        tree->setNeedsDisplay();
        scroll->addSubview(tree);
        scroll->setContentSize(size);
    }
    container->addSubview(scroll);
    using platform::NSLayoutAttribute;
    std::vector<std::shared_ptr<platform::NSLayoutConstraint>> pins;
    for (const auto edge : {NSLayoutAttribute::top, NSLayoutAttribute::leading,
                            NSLayoutAttribute::trailing, NSLayoutAttribute::bottom}) {
        pins.push_back(platform::NSLayoutConstraint::make(
            scroll, edge, platform::NSLayoutRelation::equal, container, edge));
    }
    platform::NSLayoutConstraint::activate(pins);
    auto title = std::make_shared<platform::UILabel>();
    title->font = kTreeTitleFont;
    title->textColor = QuroColor::label();
    title->setText(data.chartTitle);
    const auto titleSize = platform::textSize(data.chartTitle, kTreeTitleFont);
    title->setFrame({20, 12, titleSize.width, titleSize.height});
    container->addSubview(title);
    ColorManager::addShadow(*container->layer());
    return container;
}

}  // namespace app
