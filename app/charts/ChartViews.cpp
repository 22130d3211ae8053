#include "app/charts/ChartViews.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "app/core/NumberText.h"
#include "app/core/QuroMathOperation.h"
#include "platform/ui/UILabel.h"

namespace app {

using platform::CGContext;
using platform::CGPoint;
using platform::CGRect;
using platform::UIBezierPath;
using platform::UIColor;

namespace {

constexpr double kPlotMargin = 30;

UIColor colorOf(const std::string& hex) {
    return UIColor::hex(hex).value_or(UIColor::label());
}

bool usable(const std::vector<double>& p) {
    return p.size() >= 2 && std::isfinite(p[0]) && std::isfinite(p[1]);
}

double round3(double x) {
    return QuroMathOperation::roundToDecimalPlaces(x, 3).value;
}

}  // namespace

void PlotChartView::draw(CGContext& ctx, CGRect rect) const {
    (void)rect;
    const CGRect b = bounds();
    ctx.drawText(title, {0, 4, b.width(), 20}, UIColor::label());
    double x0 = std::numeric_limits<double>::infinity(), x1 = -x0, y0 = x0, y1 = -x0;
    for (const auto& s : series)
        for (const auto& p : s.points)
            if (usable(p)) {
                x0 = std::min(x0, p[0]);
                x1 = std::max(x1, p[0]);
                y0 = std::min(y0, p[1]);
                y1 = std::max(y1, p[1]);
            }
    if (!(x0 <= x1)) x0 = 0, x1 = 1;
    if (!(y0 <= y1)) y0 = 0, y1 = 1;
    x0 = xMin.value_or(x0), x1 = xMax.value_or(x1);
    y0 = yMin.value_or(y0), y1 = yMax.value_or(y1);
    if (x1 <= x0) x1 = x0 + 1;
    if (y1 <= y0) y1 = y0 + 1;
    const CGRect plot{kPlotMargin, kPlotMargin, std::max(1.0, b.width() - 2 * kPlotMargin),
                      std::max(1.0, b.height() - 2 * kPlotMargin)};
    auto map = [&](double x, double y) {
        const double cy = std::clamp(y, y0, y1);
        return CGPoint{plot.minX() + (x - x0) / (x1 - x0) * plot.width(),
                       plot.maxY() - (cy - y0) / (y1 - y0) * plot.height()};
    };
    UIBezierPath axes;
    axes.moveTo({plot.minX(), plot.minY()});
    axes.addLineTo({plot.minX(), plot.maxY()});
    axes.addLineTo({plot.maxX(), plot.maxY()});
    ctx.drawPath(axes, UIColor::systemGray(), std::nullopt);
    ctx.drawText(xAxisTitle, {plot.maxX() - 40, plot.maxY() + 6, 40, 16}, UIColor::label());
    ctx.drawText(yAxisTitle, {0, kPlotMargin - 18, 60, 16}, UIColor::label());
    for (const auto& s : series) {
        const UIColor color = colorOf(s.colorHex);
        std::vector<CGPoint> pts;
        for (const auto& p : s.points)
            if (usable(p)) pts.push_back(map(p[0], p[1]));
        if (pts.empty()) continue;
        if (s.kind == ChartSeries::Kind::scatter) {
            const double r = std::max(1.0, s.markerRadius);
            for (const auto& p : pts)
                ctx.fill({p.x - r, p.y - r, 2 * r, 2 * r}, color, r);
            continue;
        }
        UIBezierPath path;
        path.moveTo(pts.front());
        for (std::size_t i = 1; i < pts.size(); ++i) {
            if (s.kind == ChartSeries::Kind::step)
                path.addLineTo({pts[i].x, pts[i - 1].y});
            else if (s.kind == ChartSeries::Kind::area)  // steps centred on each x
                path.addLineTo({(pts[i - 1].x + pts[i].x) / 2, pts[i - 1].y}),
                    path.addLineTo({(pts[i - 1].x + pts[i].x) / 2, pts[i].y});
            path.addLineTo(pts[i]);
        }
        if (s.kind == ChartSeries::Kind::area) {
            path.addLineTo({pts.back().x, map(0, 0).y});
            path.addLineTo({pts.front().x, map(0, 0).y});
            path.close();
            ctx.drawPath(path, color, color.withAlphaComponent(0.5));
        } else {
            ctx.drawPath(path, color, std::nullopt);
        }
        if (s.markerRadius > 0)
            for (const auto& p : pts)
                ctx.fill({p.x - s.markerRadius, p.y - s.markerRadius, 2 * s.markerRadius,
                          2 * s.markerRadius},
                         color, s.markerRadius);
    }
}

// ---- Line charts

std::shared_ptr<LineChartView> LineChartManager::makeLineChartView(const LineChartData& data,
                                                                   CGRect frame) {
    auto view = std::make_shared<LineChartView>(frame);
    const double limit = std::fabs(data.axisLimit);
    view->title = data.chartTitle;
    view->xAxisTitle = "x";
    view->yAxisTitle = data.dataName;
    if (std::isfinite(limit) && limit > 0) {
        view->xMin = view->yMin = -limit;
        view->xMax = view->yMax = limit;
    }
    view->series.push_back({data.dataName,
                            {data.startPoint, data.endPoint},
                            data.chartColorHexCode,
                            ChartSeries::Kind::line,
                            0});
    view->series.push_back(
        {data.dataName, data.markedPoints, data.chartColorHexCode, ChartSeries::Kind::scatter, 5});
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
    view->title = data.chartTitle;
    view->xAxisTitle = data.xAxisName;
    view->yAxisTitle = data.dataName;
    view->series.push_back(
        {data.dataName, data.dataSet, data.chartColorHexCode, ChartSeries::Kind::step, 5});
    view->series.push_back(
        {data.dataName, std::move(line), data.chartColorHexCode, ChartSeries::Kind::step, 0});
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
    auto view = std::make_shared<SplineChartView>(frame);
    view->xAxisTitle = "x";
    ChartSeries s{"", std::move(points), "", ChartSeries::Kind::spline, 0};
    switch (*data.type) {
        case TrigonometricType::sin:
            s.name = "sin(x)", view->title = "Sin", s.colorHex = "#FF0000";
            break;
        case TrigonometricType::cos:
            s.name = "cos(x)", view->title = "Cos", s.colorHex = "#000CFF";
            break;
        default:
            s.name = "tan(x)", view->title = "Tan", s.colorHex = "#00E13A";
            s.kind = ChartSeries::Kind::scatter, s.markerRadius = 1;
            view->yMin = -2 * data.amplitude, view->yMax = 2 * data.amplitude;
            if (*view->yMax < *view->yMin) std::swap(*view->yMin, *view->yMax);
            break;
    }
    view->yAxisTitle = s.name;
    view->series.push_back(std::move(s));
    return view;
}

std::shared_ptr<SplineChartView> SplineChartManager::makeSplineChartView(
    const std::vector<std::shared_ptr<CommonSplineChartData>>& list, CGRect frame) {
    if (list.empty() || !list.front()) return nullptr;
    auto view = std::make_shared<SplineChartView>(frame);
    view->title = list.front()->chartTitle;
    view->xAxisTitle = "x";
    view->yAxisTitle = "y";
    for (const auto& d : list) {
        if (!d) continue;
        std::string name = d->dataName;
        for (std::size_t at = name.find("function"); at != std::string::npos;
             at = name.find("function", at + 4))
            name.replace(at, 8, "func");
        view->series.push_back(
            {std::move(name), d->dataSet, d->chartColorHexCode, ChartSeries::Kind::spline, 0});
    }
    return view;
}

// ---- Area chart

std::shared_ptr<AreaChartView> AreaChartManager::makeAreaChartView(const HistogramChartData& data,
                                                                   CGRect frame) {
    auto view = std::make_shared<AreaChartView>(frame);
    view->title = data.chartTitle;
    view->xAxisTitle = data.xAxisName;
    view->yAxisTitle = data.dataName;
    for (const auto& group : data.dataSetWithColorTheme) {
        if (group.dataValues.empty()) continue;
        double lo = std::numeric_limits<double>::infinity(), hi = -lo;
        for (const auto& p : group.dataValues) {
            const double x = p.empty() ? 0 : p[0];
            lo = std::min(lo, x);
            hi = std::max(hi, x);
        }
        ChartPoints points{{lo - 1, 0}};
        points.insert(points.end(), group.dataValues.begin(), group.dataValues.end());
        points.push_back({hi + 1, 0});
        view->series.push_back(
            {data.dataName, std::move(points), group.hexColor, ChartSeries::Kind::area, 0});
    }
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

void TreeChartView::draw(CGContext& ctx, CGRect rect) const {
    const double mid = (rect.minX() + rect.width() / 2), w = rect.width();
    if (probabilitySuccess)
        ctx.drawText(*probabilitySuccess, {mid + w / 8, 80, w, 30}, UIColor::label());
    if (probabilityFailure) {
        const double tw = 7.0 * static_cast<double>(probabilityFailure->size());
        ctx.drawText(*probabilityFailure, {mid - w / 8 - tw, 80, w, 30}, UIColor::label());
    }
    if (rootNode) drawNode(ctx, *rootNode, {mid, 60}, w - 200);
}

void TreeChartView::drawNode(CGContext& ctx, const TreeNode& node, CGPoint at, double width) const {
    auto colorOfNode = [](const TreeNode& n) {
        return n.isHighlighted ? *UIColor::hex("#E91E63")
                               : UIColor::systemGray().withAlphaComponent(0.3);
    };
    UIBezierPath circle = UIBezierPath::ovalIn({at.x - 15, at.y, 30, 30});
    circle.lineWidth = 2;
    ctx.drawPath(circle, colorOfNode(node), std::nullopt);
    ctx.drawText(node.value, {at.x - 15, at.y + 7, 30, 16}, UIColor::label());
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
            ctx.drawPath(edge, colorOfNode(child), std::nullopt);
            drawNode(ctx, child, {cx, at.y + 50}, width / 2);
        }
        return;
    }
    const std::string text = TreeChartManager::leafText(node, probabilitySuccess.value_or("0"),
                                                        probabilityFailure.value_or("0"));
    const double chainY = at.y + 30 + 2.2 * static_cast<double>(node.chainOfEvents.size()) + 18;
    ctx.drawText(text, {at.x - 0.86 * 7.0 * static_cast<double>(text.size()), chainY, 120, 16},
                 colorOfNode(node));
}

std::shared_ptr<platform::UIView> TreeChartManager::makeTreeChartView(
    const BernoulliDistributionTreeChartData& data, CGRect frame) {
    auto container = std::make_shared<platform::UIView>(frame);
    container->setBackgroundColor(UIColor::systemBackground());
    auto title = std::make_shared<platform::UILabel>(CGRect{20, 12, frame.width() - 40, 24});
    title->setText(data.chartTitle);
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
        container->addSubview(tree);
    }
    container->addSubview(title);
    return container;
}

}  // namespace app
