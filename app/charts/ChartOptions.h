#pragma once

// The parts of a chart's options that every function chart shares: the base model, the two
// axes, crosshair, tooltip, legend and language texts, and the tick positions of bounded axes.
// Colours go to the chart component as "#rrggbb" texts of the app's colour constants. Main
// thread only.

#include <optional>
#include <string>
#include <vector>

#include "platform/kits/AAChartView.h"

namespace app {

// Labels the x axis in multiples of π/2 ("0", "π/2", "-π", "3π", "5π/2").
extern const char kPiLabelFormatter[];

platform::AAChartModel makeBaseChartModel();
platform::AAXAxis makeXAxis(const std::string& title, std::optional<double> min,
                            std::optional<double> max, bool usesPiLabels);
platform::AAYAxis makeYAxis(const std::string& title, std::optional<double> min,
                            std::optional<double> max);
platform::AACrosshair makeCrosshair();
platform::AATooltip makeTooltip(const std::string& xAxisTitle, const std::string& yAxisTitle);
// The finished options of a model the caller has completed (type, title, colours, series).
platform::AAOptions makeChartOptions(const platform::AAChartModel& chartModel,
                                     const std::string& xAxisTitle, std::optional<double> xMax,
                                     std::optional<double> xMin, const std::string& yAxisTitle,
                                     std::optional<double> yMax, std::optional<double> yMin,
                                     bool usesPiLabels);

// start + i·step while before `end` in the step's direction, `end` itself once when hit exactly.
// A step of 0, a non-finite input or a step pointing away from `end` gives no ticks (only the
// start when start equals end).
std::vector<double> tickValues(double start, double end, double step);

}  // namespace app
