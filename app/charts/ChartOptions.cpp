#include "app/charts/ChartOptions.h"

#include <cmath>

#include "app/services/ColorManager.h"
#include "app/services/QuroColor.h"

namespace app {

using platform::AAStyle;

const char kPiLabelFormatter[] =
    "function () {\n"
    "    var halfMultiple = Math.round(2 * this.value / Math.PI);\n"
    "\n"
    "    switch (halfMultiple) {\n"
    "        case 0:\n"
    "            return '0';\n"
    "        case 1:\n"
    "            return 'π/2';\n"
    "        case -1:\n"
    "            return '-π/2';\n"
    "        case 2:\n"
    "            return 'π';\n"
    "        case -2:\n"
    "            return '-π';\n"
    "        default:\n"
    "            if (halfMultiple % 2 === 0) {\n"
    "                return (halfMultiple / 2) + 'π';\n"
    "            } else {\n"
    "                return halfMultiple + 'π/2';\n"
    "            }\n"
    "    }\n"
    "}";

namespace {

// The script's tick interval: a quarter turn as the single-precision literal it was written as.
constexpr float kPiTickInterval = 1.5705f;
// More tick positions than this are not listed; the component then chooses its own.
constexpr std::size_t kMaxTicks = 1000;

std::optional<std::string> hexOf(const platform::UIColor& color) {
    return ColorManager::hexString(color);
}

AAStyle styleOf(const platform::UIColor& color) {
    return AAStyle{hexOf(color)};
}

void configureAxis(platform::AAAxis& axis, const std::string& title, std::optional<double> min,
                   std::optional<double> max, bool usesPiLabels) {
    axis.tickWidth = 0;
    axis.lineColor = hexOf(QuroColor::systemGray());
    axis.lineWidth = 0.5;
    axis.gridLineColor = hexOf(QuroColor::systemGray());
    axis.gridLineWidth = 0.25;
    axis.title = platform::AATitle{title, std::nullopt};
    if (usesPiLabels) {
        axis.labels = platform::AALabels{std::string(kPiLabelFormatter), std::nullopt};
        axis.tickInterval = static_cast<double>(kPiTickInterval);
    } else if (!min || !max) {
        axis.minorTickInterval = platform::Object(std::string("auto"));
        axis.labels = platform::AALabels{};
    } else {
        // A quarter of the maximum, not of the range.
        const double step = *max * 0.25;
        axis.min = *min;
        axis.max = *max;
        axis.tickPositions = tickValues(*min, *max, step);
        axis.minorTickInterval =
            platform::Object(static_cast<double>(static_cast<float>(step) / 5));
        axis.labels = platform::AALabels{};
    }
    if (axis.labels) axis.labels->style = styleOf(QuroColor::systemGray());
}

}  // namespace

platform::AAChartModel makeBaseChartModel() {
    platform::AAChartModel model;
    model.animationType = platform::AAChartAnimationType::linear;
    model.titleStyle = styleOf(QuroColor::systemGray());
    model.touchEventEnabled = true;
    model.legendEnabled = false;
    model.backgroundColor = hexOf(QuroColor::background());
    return model;
}

platform::AAXAxis makeXAxis(const std::string& title, std::optional<double> min,
                            std::optional<double> max, bool usesPiLabels) {
    platform::AAXAxis axis;
    configureAxis(axis, title, min, max, usesPiLabels);
    return axis;
}

platform::AAYAxis makeYAxis(const std::string& title, std::optional<double> min,
                            std::optional<double> max) {
    platform::AAYAxis axis;
    configureAxis(axis, title, min, max, false);
    return axis;
}

platform::AACrosshair makeCrosshair() {
    return platform::AACrosshair{hexOf(QuroColor::label()), std::string("longDashDotDot"), 1.5};
}

platform::AATooltip makeTooltip(const std::string& xAxisTitle, const std::string& yAxisTitle) {
    platform::AATooltip tooltip;
    if (isDarkMode()) {
        tooltip.backgroundColor = hexOf(QuroColor::background());
        tooltip.borderColor = hexOf(QuroColor::label());
        tooltip.borderWidth = 0.5;
        tooltip.style = styleOf(QuroColor::label());
        tooltip.shadow = false;
    }
    tooltip.headerFormat = xAxisTitle + ": {point.key}<br/>";
    tooltip.pointFormat = yAxisTitle + ": {point.y}<br/>";
    return tooltip;
}

platform::AAOptions makeChartOptions(const platform::AAChartModel& chartModel,
                                     const std::string& xAxisTitle, std::optional<double> xMax,
                                     std::optional<double> xMin, const std::string& yAxisTitle,
                                     std::optional<double> yMax, std::optional<double> yMin,
                                     bool usesPiLabels) {
    auto options = platform::AAOptionsConstructor::configureChartOptions(chartModel);
    options.xAxis = makeXAxis(xAxisTitle, xMin, xMax, usesPiLabels);
    options.yAxis = makeYAxis(yAxisTitle, yMin, yMax);
    const auto crosshair = makeCrosshair();
    options.xAxis->crosshair = crosshair;
    options.yAxis->crosshair = crosshair;
    // The constructor always gives a legend; it stays hidden as the base model says.
    auto& legend = options.legend ? *options.legend : options.legend.emplace();
    legend.itemMarginTop = 20;
    legend.itemMarginBottom = 10;
    legend.symbolHeight = 20;
    legend.symbolWidth = 20;
    legend.layout = "horizontal";
    legend.align = "center";
    legend.verticalAlign = "bottom";
    legend.itemStyle = platform::AAItemStyle{std::string("red"), std::string("bold"), 20.0};
    // Clicking a legend entry must not hide its series.
    if (options.plotOptionsSeries)
        options.plotOptionsSeries->events = platform::AASeriesEvents{platform::aa_toPureJSString(
            "            function() {\n              return false;\n            }")};
    options.lang = platform::AALang{std::string("重置缩放比例"), std::string(",")};
    options.tooltip = makeTooltip(xAxisTitle, yAxisTitle);
    return options;
}

std::vector<double> tickValues(double start, double end, double step) {
    if (!std::isfinite(start) || !std::isfinite(end) || !std::isfinite(step) || step == 0)
        return {};
    auto before = [&](double v) { return step > 0 ? v < end : v > end; };
    std::size_t count = 0;
    for (;; ++count) {
        const double v = std::fma(static_cast<double>(count), step, start);
        if (v == end) {
            ++count;
            break;
        }
        if (!before(v)) break;
        if (count >= kMaxTicks) return {};
    }
    std::vector<double> ticks(count);
    for (std::size_t i = 0; i < count; ++i)
        ticks[i] = std::fma(static_cast<double>(i), step, start);
    return ticks;
}

}  // namespace app
