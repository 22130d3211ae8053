#pragma once

// The chart component: typed option records that a chart view draws. The app fills a chart
// model, turns it into options, adjusts them and hands them to the chart view, which keeps the
// options and draws a plain plot of them (axes, title, one path per series) into the display
// list. Every record turns into JSON with just the options that were set, as the component's
// script side would receive them.

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/ui/UIView.h"

namespace platform {

enum class AAChartType { line, spline, scatter, area };
enum class AAChartAnimationType { linear, easeInQuad, easeOutQuad };

std::string chartTypeName(AAChartType type);

struct AAStyle {
    std::optional<std::string> color;
    Object toJSON() const;
};

struct AATitle {
    std::optional<std::string> text;
    std::optional<AAStyle> style;
    Object toJSON() const;
};

struct AALabels {
    std::optional<std::string> formatter;  // a script
    std::optional<AAStyle> style;
    Object toJSON() const;
};

struct AACrosshair {
    std::optional<std::string> color, dashStyle;
    std::optional<double> width;
    Object toJSON() const;
};

struct AAAxis {
    std::optional<double> tickWidth;
    std::optional<std::string> lineColor, gridLineColor;
    std::optional<double> lineWidth, gridLineWidth;
    std::optional<AATitle> title;
    std::optional<AALabels> labels;
    std::optional<double> tickInterval, min, max;
    std::optional<std::vector<double>> tickPositions;
    // A number, or the text "auto".
    std::optional<Object> minorTickInterval;
    std::optional<AACrosshair> crosshair;
    Object toJSON() const;
};
struct AAXAxis : AAAxis {};
struct AAYAxis : AAAxis {};

struct AAItemStyle {
    std::optional<std::string> color, fontWeight;
    std::optional<double> fontSize;
    Object toJSON() const;
};

struct AALegend {
    std::optional<bool> enabled;
    std::optional<double> itemMarginTop, itemMarginBottom, symbolHeight, symbolWidth;
    std::optional<std::string> layout, align, verticalAlign;
    std::optional<AAItemStyle> itemStyle;
    Object toJSON() const;
};

struct AATooltip {
    std::optional<std::string> backgroundColor, borderColor, headerFormat, pointFormat;
    std::optional<double> borderWidth;
    std::optional<AAStyle> style;
    std::optional<bool> shadow;
    Object toJSON() const;
};

struct AAMarker {
    std::optional<double> radius, lineWidth;
    Object toJSON() const;
};

struct AASeriesElement {
    std::optional<std::string> name, step, color;
    // Points [x, y]; an entry with fewer than two finite numbers is not drawn.
    std::vector<std::vector<double>> data;
    std::optional<AAMarker> marker;
    Object toJSON() const;
};

struct AALang {
    std::optional<std::string> resetZoom, thousandsSep;
    Object toJSON() const;
};

struct AASeriesEvents {
    std::optional<std::string> legendItemClick;  // a script
    Object toJSON() const;
};

struct AAChartModel {
    std::optional<AAChartAnimationType> animationType;
    std::optional<AAStyle> titleStyle;
    std::optional<bool> touchEventEnabled, legendEnabled;
    std::optional<std::string> backgroundColor, title;
    std::optional<AAChartType> chartType;
    std::optional<std::vector<std::string>> colorsTheme;
    std::vector<AASeriesElement> series;
    std::optional<double> markerRadius;
    Object toJSON() const;
};

struct AAOptions {
    struct Chart {
        std::optional<AAChartType> type;
        std::optional<std::string> backgroundColor;
        std::optional<AAChartAnimationType> animation;
        std::optional<bool> touchEventEnabled;
    };
    struct PlotSeries {
        std::optional<double> markerRadius;
        std::optional<AASeriesEvents> events;
    };
    Chart chart;
    std::optional<AATitle> title;
    std::optional<AAXAxis> xAxis;
    std::optional<AAYAxis> yAxis;
    std::optional<AALegend> legend;
    // The settings every series shares; present once the options come from a model.
    std::optional<PlotSeries> plotOptionsSeries;
    std::vector<AASeriesElement> series;
    std::optional<std::vector<std::string>> colors;
    std::optional<AALang> lang;
    std::optional<AATooltip> tooltip;
    Object toJSON() const;
};

class AAOptionsConstructor {
  public:
    // The options of a model; they always hold a legend (shown as the model says).
    static AAOptions configureChartOptions(const AAChartModel& model);
};

// A script as one line: line breaks and tabs become spaces and runs of spaces one space.
std::string aa_toPureJSString(const std::string& script);

class AAChartView : public UIView {
  public:
    using UIView::UIView;
    bool scrollEnabled = true;
    bool isClearBackgroundColor = false;

    void aa_drawChartWithChartOptions(const AAOptions& options);
    const std::optional<AAOptions>& lastOptions() const { return options_; }

    void draw(CGContext& ctx, CGRect rect) const override;
    void describe(ViewDescription& d) const override;

  private:
    std::optional<AAOptions> options_;
};

}  // namespace platform
