#include "app/charts/ChartOptions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "platform/foundation/Json.h"

namespace app {
namespace {

using platform::Object;

// What the π formatter script shows, written out in C++ (Math.round rounds halves up).
std::string piLabel(double value) {
    const auto half = static_cast<long long>(std::floor(2 * value / std::numbers::pi + 0.5));
    switch (half) {
        case 0:
            return "0";
        case 1:
            return "π/2";
        case -1:
            return "-π/2";
        case 2:
            return "π";
        case -2:
            return "-π";
        default:
            return half % 2 == 0 ? std::to_string(half / 2) + "π" : std::to_string(half) + "π/2";
    }
}

TEST(TickValues, RangesStepsAndDegenerateInput) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double start, end, step;
        std::vector<double> ticks;
    } cases[] = {
        {-4, 4, 1, {-4, -3, -2, -1, 0, 1, 2, 3, 4}},
        {0, 2, 0.5, {0, 0.5, 1, 1.5, 2}},
        {2, 0, -0.5, {2, 1.5, 1, 0.5, 0}},
        {0, 1, 0.3, {0, 0.3, 0.6, 0.8999999999999999}},
        {0, 2, -1, {}},  // wrong direction
        {1, 1, -1, {1}},
        {0, 0, 0, {}},  // an axis whose maximum is 0
        {0, 1, inf, {}},
        {-1e9, 1, 0.25, {}},  // too many to list
    };
    for (const auto& c : cases)
        EXPECT_EQ(tickValues(c.start, c.end, c.step), c.ticks) << c.start << " " << c.step;
}

TEST(ChartAxes, BoundedAutoAndPiModes) {
    auto bounded = makeXAxis("x", -4, 4, false);
    EXPECT_EQ(bounded.tickPositions->size(), 9u);
    EXPECT_EQ(bounded.minorTickInterval, Object(static_cast<double>(0.2f)));
    EXPECT_EQ(bounded.tickWidth, 0.0);
    EXPECT_EQ(bounded.gridLineWidth, 0.25);
    ASSERT_TRUE(bounded.labels && bounded.labels->style);
    EXPECT_FALSE(bounded.labels->formatter.has_value());

    for (auto axis : {makeYAxis("y", std::nullopt, 3), makeYAxis("y", -1, std::nullopt)}) {
        EXPECT_EQ(axis.minorTickInterval, Object(std::string("auto")));
        EXPECT_FALSE(axis.min || axis.max || axis.tickPositions);
    }
    EXPECT_EQ(makeYAxis("y", 0, 0).tickPositions, std::vector<double>{});

    auto pi = makeXAxis("x", -1, 1, true);
    EXPECT_EQ(pi.tickInterval, static_cast<double>(1.5705f));
    EXPECT_FALSE(pi.min || pi.tickPositions || pi.minorTickInterval);
    EXPECT_EQ(std::string(kPiLabelFormatter).size(), 513u);
    EXPECT_EQ(pi.labels->formatter, std::string(kPiLabelFormatter));
    const double p = std::numbers::pi;
    const std::pair<double, const char*> labels[] = {
        {0, "0"},   {p / 2, "π/2"}, {-p / 2, "-π/2"},  {p, "π"},
        {-p, "-π"}, {2 * p, "2π"},  {2.5 * p, "5π/2"}, {3 * p, "3π"}};
    for (const auto& [value, text] : labels)
        EXPECT_EQ(piLabel(value), text);
}

TEST(ChartOptions, SharedSettingsAsJSON) {
    auto model = makeBaseChartModel();
    model.chartType = platform::AAChartType::spline;
    model.title = "T";
    const auto options = makeChartOptions(model, "x", std::nullopt, std::nullopt, "y", 2, 0, false);
    const auto json = *platform::writeJSON(options.toJSON());
    for (const char* fragment :
         {R"("legend":{"align":"center","enabled":false,"itemMarginBottom":10.0,)",
          R"("itemStyle":{"color":"red","fontSize":20.0,"fontWeight":"bold"})",
          R"("events":{"legendItemClick":"function() { return false; }"})",
          R"("crosshair":{"color":")", R"(","dashStyle":"longDashDotDot","width":1.5})",
          R"("lang":{"resetZoom":"重置缩放比例","thousandsSep":","})",
          R"("tooltip":{"headerFormat":"x: {point.key}<br/>","pointFormat":"y: {point.y}<br/>"})",
          R"("chart":{"animation":"linear","backgroundColor":"#)",
          R"("tickPositions":[0.0,0.5,1.0,1.5,2.0])", R"("touchEventEnabled":true)"})
        EXPECT_NE(json.find(fragment), std::string::npos) << fragment << "\n" << json;
}

TEST(ChartOptions, TooltipStyledOnlyInDarkMode) {
    const auto saved = platform::UITraitCollection::current();
    auto dark = saved;
    dark.userInterfaceStyle = platform::UIUserInterfaceStyle::dark;
    platform::UITraitCollection::setCurrent(dark);
    const auto styled = makeTooltip("x", "y");
    platform::UITraitCollection::setCurrent(saved);
    EXPECT_EQ(styled.shadow, false);
    EXPECT_EQ(styled.borderWidth, 0.5);
    EXPECT_TRUE(styled.backgroundColor && styled.borderColor && styled.style);
    const auto plain = makeTooltip("x", "y");
    EXPECT_EQ(plain.toJSON(), (Object::dict({{"headerFormat", std::string("x: {point.key}<br/>")},
                                             {"pointFormat", std::string("y: {point.y}<br/>")}})));
}

}  // namespace
}  // namespace app
