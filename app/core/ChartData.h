#pragma once

// Descriptions of the charts that belong to a result: plain records whose class says which chart
// to draw. A chart row of the result page holds one list of them.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/core/Quadrant.h"
#include "app/core/TrigonometricType.h"

namespace app {

class ChartData {
  public:
    explicit ChartData(double frameRatio) : frameRatio(frameRatio) {}
    virtual ~ChartData() = default;
    // Width divided by height of the chart's frame.
    double frameRatio;
};

using ChartDataList = std::vector<std::shared_ptr<ChartData>>;

class LineChartData : public ChartData {
  public:
    using ChartData::ChartData;
    std::string chartTitle, dataName, chartColorHexCode;
    std::vector<double> startPoint, endPoint;
    std::vector<std::vector<double>> markedPoints;
    double axisLimit = 0;
};

class UnitCircleChartData : public ChartData {
  public:
    UnitCircleChartData(double alpha, double b, double angle, std::int64_t fullCircles,
                        Quadrant quadrant)
        : ChartData(2.0),
          alpha(alpha),
          b(b),
          angle(angle),
          fullCircles(fullCircles),
          quadrant(quadrant) {}
    std::optional<double> alpha, b, angle;
    std::optional<std::int64_t> fullCircles;
    std::optional<Quadrant> quadrant;
};

class TrigonometricChartData : public ChartData {
  public:
    using ChartData::ChartData;
    std::optional<double> lengthOfGraph;
    double offset = 0, periodLength = 0, amplitude = 0;
    std::optional<TrigonometricType> type;
};

class CommonSplineChartData : public ChartData {
  public:
    using ChartData::ChartData;
    std::string chartTitle, dataName, chartColorHexCode;
    std::vector<std::vector<double>> dataSet;
    std::optional<double> lengthOfGraph;
};

class HistogramChartData : public ChartData {
  public:
    using ChartData::ChartData;
    struct ColoredValues {
        std::string hexColor;
        std::vector<std::vector<double>> dataValues;
    };
    std::string chartTitle, dataName, xAxisName;
    std::vector<ColoredValues> dataSetWithColorTheme;
};

class DistributionFunctionChartData : public ChartData {
  public:
    using ChartData::ChartData;
    std::string chartTitle, dataName, xAxisName, chartColorHexCode;
    std::vector<std::vector<double>> dataSet;
    bool isPresentationView = false;
    bool isConverse = false;
};

class BernoulliDistributionTreeChartData : public ChartData {
  public:
    using ChartData::ChartData;
    std::string chartTitle, chartColorHexCode;
    double probabilityOfSuccess = 0;
    std::int64_t hits = 0, trials = 0;
};

// The empty base of the chart managers.
class ChartManager {};

}  // namespace app
