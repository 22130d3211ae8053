#include "platform/kits/AAChartView.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace platform {

namespace {

// Collects the options that are set into a dictionary.
class Json {
  public:
    template <typename T>
    Json& put(const char* key, const std::optional<T>& value) {
        if (value) dict_[key] = of(*value);
        return *this;
    }
    Json& put(const char* key, Object value) {
        dict_[key] = std::move(value);
        return *this;
    }
    Object done() { return Object(std::move(dict_)); }

  private:
    static Object of(const std::string& v) { return Object(v); }
    static Object of(double v) { return Object(v); }
    static Object of(bool v) { return Object(v); }
    static Object of(const Object& v) { return v; }
    static Object of(AAChartType v) { return Object(chartTypeName(v)); }
    static Object of(AAChartAnimationType v) {
        switch (v) {
            case AAChartAnimationType::linear:
                return Object(std::string("linear"));
            case AAChartAnimationType::easeInQuad:
                return Object(std::string("easeInQuad"));
            default:
                return Object(std::string("easeOutQuad"));
        }
    }
    static Object of(const std::vector<double>& v) {
        Array a;
        for (double x : v)
            a.emplace_back(x);
        return Object(std::move(a));
    }
    static Object of(const std::vector<std::string>& v) {
        Array a;
        for (const auto& x : v)
            a.emplace_back(x);
        return Object(std::move(a));
    }
    template <typename T>
    static auto of(const T& record) -> decltype(record.toJSON()) {
        return record.toJSON();
    }
    Dictionary dict_;
};

Object seriesJSON(const std::vector<AASeriesElement>& series) {
    Array a;
    for (const auto& s : series)
        a.push_back(s.toJSON());
    return Object(std::move(a));
}

}  // namespace

std::string chartTypeName(AAChartType type) {
    switch (type) {
        case AAChartType::line:
            return "line";
        case AAChartType::spline:
            return "spline";
        case AAChartType::scatter:
            return "scatter";
        default:
            return "area";
    }
}

Object AAStyle::toJSON() const {
    return Json().put("color", color).done();
}

Object AATitle::toJSON() const {
    return Json().put("text", text).put("style", style).done();
}

Object AALabels::toJSON() const {
    return Json().put("formatter", formatter).put("style", style).done();
}

Object AACrosshair::toJSON() const {
    return Json().put("color", color).put("dashStyle", dashStyle).put("width", width).done();
}

Object AAAxis::toJSON() const {
    return Json()
        .put("tickWidth", tickWidth)
        .put("lineColor", lineColor)
        .put("lineWidth", lineWidth)
        .put("gridLineColor", gridLineColor)
        .put("gridLineWidth", gridLineWidth)
        .put("title", title)
        .put("labels", labels)
        .put("tickInterval", tickInterval)
        .put("min", min)
        .put("max", max)
        .put("tickPositions", tickPositions)
        .put("minorTickInterval", minorTickInterval)
        .put("crosshair", crosshair)
        .done();
}

Object AAItemStyle::toJSON() const {
    return Json()
        .put("color", color)
        .put("fontSize", fontSize)
        .put("fontWeight", fontWeight)
        .done();
}

Object AALegend::toJSON() const {
    return Json()
        .put("enabled", enabled)
        .put("itemMarginTop", itemMarginTop)
        .put("itemMarginBottom", itemMarginBottom)
        .put("symbolHeight", symbolHeight)
        .put("symbolWidth", symbolWidth)
        .put("layout", layout)
        .put("align", align)
        .put("verticalAlign", verticalAlign)
        .put("itemStyle", itemStyle)
        .done();
}

Object AATooltip::toJSON() const {
    return Json()
        .put("backgroundColor", backgroundColor)
        .put("borderColor", borderColor)
        .put("borderWidth", borderWidth)
        .put("style", style)
        .put("shadow", shadow)
        .put("headerFormat", headerFormat)
        .put("pointFormat", pointFormat)
        .done();
}

Object AAMarker::toJSON() const {
    return Json().put("radius", radius).put("lineWidth", lineWidth).done();
}

Object AASeriesElement::toJSON() const {
    Array points;
    for (const auto& p : data) {
        Array point;
        for (double v : p)
            point.emplace_back(v);
        points.emplace_back(std::move(point));
    }
    return Json()
        .put("name", name)
        .put("data", Object(std::move(points)))
        .put("step", step)
        .put("color", color)
        .put("marker", marker)
        .done();
}

Object AALang::toJSON() const {
    return Json().put("resetZoom", resetZoom).put("thousandsSep", thousandsSep).done();
}

Object AASeriesEvents::toJSON() const {
    return Json().put("legendItemClick", legendItemClick).done();
}

Object AAChartModel::toJSON() const {
    return Json()
        .put("animationType", animationType)
        .put("titleStyle", titleStyle)
        .put("touchEventEnabled", touchEventEnabled)
        .put("legendEnabled", legendEnabled)
        .put("backgroundColor", backgroundColor)
        .put("title", title)
        .put("chartType", chartType)
        .put("colorsTheme", colorsTheme)
        .put("series", seriesJSON(series))
        .put("markerRadius", markerRadius)
        .done();
}

Object AAOptions::toJSON() const {
    Json out;
    out.put("chart", Json()
                         .put("type", chart.type)
                         .put("backgroundColor", chart.backgroundColor)
                         .put("animation", chart.animation)
                         .put("touchEventEnabled", chart.touchEventEnabled)
                         .done());
    out.put("title", title).put("xAxis", xAxis).put("yAxis", yAxis).put("legend", legend);
    if (plotOptionsSeries) {
        Json series;
        if (plotOptionsSeries->markerRadius)
            series.put("marker", Object::dict({{"radius", *plotOptionsSeries->markerRadius}}));
        series.put("events", plotOptionsSeries->events);
        out.put("plotOptions", Object::dict({{"series", series.done()}}));
    }
    out.put("series", seriesJSON(series)).put("colors", colors);
    return out.put("lang", lang).put("tooltip", tooltip).done();
}

AAOptions AAOptionsConstructor::configureChartOptions(const AAChartModel& model) {
    AAOptions o;
    o.chart.type = model.chartType;
    o.chart.backgroundColor = model.backgroundColor;
    o.chart.animation = model.animationType;
    o.chart.touchEventEnabled = model.touchEventEnabled;
    if (model.title) o.title = AATitle{model.title, model.titleStyle};
    o.legend = AALegend{};
    o.legend->enabled = model.legendEnabled.value_or(true);
    o.plotOptionsSeries = AAOptions::PlotSeries{model.markerRadius, std::nullopt};
    o.series = model.series;
    o.colors = model.colorsTheme;
    return o;
}

std::string aa_toPureJSString(const std::string& script) {
    std::string out;
    for (char c : script) {
        const char ch = (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
        if (ch == ' ' && (out.empty() || out.back() == ' ')) continue;
        out += ch;
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

void AAChartView::aa_drawChartWithChartOptions(const AAOptions& options) {
    options_ = options;
    setNeedsDisplay();
}

void AAChartView::describe(ViewDescription& d) const {
    UIView::describe(d);
    if (!options_) return;
    if (options_->title && options_->title->text) d.text = *options_->title->text;
    d.role = chartTypeName(options_->chart.type.value_or(AAChartType::line)) + "-chart/" +
             std::to_string(options_->series.size());
}

namespace {

constexpr CGFloat kPlotMargin = 30;

bool usable(const std::vector<double>& p) {
    return p.size() >= 2 && std::isfinite(p[0]) && std::isfinite(p[1]);
}

UIColor colorOf(const std::optional<std::string>& hex, const UIColor& fallback) {
    if (!hex) return fallback;
    return UIColor::hex(*hex).value_or(fallback);
}

struct Extent {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    void add(double v) { lo = std::min(lo, v), hi = std::max(hi, v); }
    // The axis's own bounds win over the data's; reversed bounds are swapped and an empty range
    // becomes one unit.
    std::pair<double, double> settle(const std::optional<AAAxis>& axis) const {
        double a = lo <= hi ? lo : 0, b = lo <= hi ? hi : 1;
        if (axis && axis->min && std::isfinite(*axis->min)) a = *axis->min;
        if (axis && axis->max && std::isfinite(*axis->max)) b = *axis->max;
        if (a > b) std::swap(a, b);
        if (!(b > a)) b = a + 1;
        return {a, b};
    }
};

std::string axisTitle(const std::optional<AAAxis>& axis) {
    return axis && axis->title && axis->title->text ? *axis->title->text : std::string();
}

}  // namespace

void AAChartView::draw(CGContext& ctx, CGRect rect) const {
    (void)rect;
    if (!options_) return;
    const AAOptions& o = *options_;
    const CGRect b = bounds();
    if (!isClearBackgroundColor && o.chart.backgroundColor)
        if (auto bg = UIColor::hex(*o.chart.backgroundColor)) ctx.fill(b, *bg);
    if (o.title && o.title->text) {
        const UIColor c =
            colorOf(o.title->style ? o.title->style->color : std::nullopt, UIColor::label());
        ctx.drawText(*o.title->text, {0, 4, b.width(), 20}, c);
    }
    Extent xs, ys;
    for (const auto& s : o.series)
        for (const auto& p : s.data)
            if (usable(p)) xs.add(p[0]), ys.add(p[1]);
    const std::optional<AAAxis> xAxis = o.xAxis, yAxis = o.yAxis;
    // Plain names, not structured bindings: clang before 16 cannot capture those in a lambda.
    const std::pair<double, double> xRange = xs.settle(xAxis), yRange = ys.settle(yAxis);
    const double x0 = xRange.first, x1 = xRange.second, y0 = yRange.first, y1 = yRange.second;
    const CGRect plot{kPlotMargin, kPlotMargin, std::max(1.0, b.width() - 2 * kPlotMargin),
                      std::max(1.0, b.height() - 2 * kPlotMargin)};
    auto map = [&](double x, double y) {
        return CGPoint{plot.minX() + (std::clamp(x, x0, x1) - x0) / (x1 - x0) * plot.width(),
                       plot.maxY() - (std::clamp(y, y0, y1) - y0) / (y1 - y0) * plot.height()};
    };
    const UIColor axisColor =
        colorOf(xAxis ? xAxis->lineColor : std::nullopt, UIColor::systemGray());
    UIBezierPath axes;
    axes.lineWidth = xAxis && xAxis->lineWidth ? *xAxis->lineWidth : 1;
    axes.moveTo({plot.minX(), plot.minY()});
    axes.addLineTo({plot.minX(), plot.maxY()});
    axes.addLineTo({plot.maxX(), plot.maxY()});
    ctx.drawPath(axes, axisColor, std::nullopt);
    ctx.drawText(axisTitle(xAxis), {plot.maxX() - 40, plot.maxY() + 6, 40, 16}, UIColor::label());
    ctx.drawText(axisTitle(yAxis), {0, kPlotMargin - 18, 60, 16}, UIColor::label());

    const AAChartType type = o.chart.type.value_or(AAChartType::line);
    const double sharedRadius =
        o.plotOptionsSeries ? o.plotOptionsSeries->markerRadius.value_or(0) : 0;
    for (std::size_t i = 0; i < o.series.size(); ++i) {
        const AASeriesElement& s = o.series[i];
        std::optional<std::string> hex = s.color;
        if (!hex && o.colors && !o.colors->empty()) hex = (*o.colors)[i % o.colors->size()];
        const UIColor color = colorOf(hex, UIColor::label());
        std::vector<CGPoint> pts;
        for (const auto& p : s.data)
            if (usable(p)) pts.push_back(map(p[0], p[1]));
        if (pts.empty()) continue;
        const double radius = s.marker && s.marker->radius ? *s.marker->radius : sharedRadius;
        if (type == AAChartType::scatter) {
            const double r = std::max(1.0, radius);
            for (const auto& p : pts)
                ctx.fill({p.x - r, p.y - r, 2 * r, 2 * r}, color, r);
            continue;
        }
        UIBezierPath path;
        path.moveTo(pts.front());
        for (std::size_t k = 1; k < pts.size(); ++k) {
            if (s.step == "left") {
                path.addLineTo({pts[k].x, pts[k - 1].y});
            } else if (s.step == "center") {
                const double mid = (pts[k - 1].x + pts[k].x) / 2;
                path.addLineTo({mid, pts[k - 1].y});
                path.addLineTo({mid, pts[k].y});
            }
            path.addLineTo(pts[k]);
        }
        if (type == AAChartType::area) {
            const double base = map(x0, std::clamp(0.0, y0, y1)).y;
            path.addLineTo({pts.back().x, base});
            path.addLineTo({pts.front().x, base});
            path.close();
            ctx.drawPath(path, color, color.withAlphaComponent(0.5));
        } else {
            ctx.drawPath(path, color, std::nullopt);
        }
        if (radius > 0)
            for (const auto& p : pts)
                ctx.fill({p.x - radius, p.y - radius, 2 * radius, 2 * radius}, color, radius);
    }
}

}  // namespace platform
