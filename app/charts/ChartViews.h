#pragma once

// The chart views of a result page's chart rows and the managers that build them from a chart
// description and a frame. Each view records its chart (title, axes, series) into the display
// list when drawn, so the dump and the exported image show it.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/ChartData.h"
#include "platform/kits/AAChartView.h"
#include "platform/ui/UIView.h"

namespace app {

using ChartPoints = std::vector<std::vector<double>>;

// A view hosting the chart component's view, which fills it. `contentView` stands for the
// interface file's top-level view; the chart view sits in it.
class FunctionChartView : public platform::UIView {
  public:
    explicit FunctionChartView(platform::CGRect frame);
    std::shared_ptr<platform::UIView> contentView;
    std::shared_ptr<platform::AAChartView> chartView;

  protected:
    // Completes the model (type, title, colours, series, marker radius), builds the options
    // and draws them.
    void drawModel(platform::AAChartModel model, platform::AAChartType chartType,
                   const std::string& title, std::optional<std::vector<std::string>> colors,
                   std::vector<platform::AASeriesElement> series, double markerRadius,
                   const std::string& xAxisTitle, std::optional<double> xMin,
                   std::optional<double> xMax, const std::string& yAxisTitle,
                   std::optional<double> yMin, std::optional<double> yMax, bool usesPiLabels);
};

class LineChartView : public FunctionChartView {
  public:
    using FunctionChartView::FunctionChartView;
    void drawLineChart(const ChartPoints& linePoints, const ChartPoints& markedPoints,
                       const std::string& seriesName, const std::string& title,
                       const std::string& colorHexCode, platform::AAChartType chartType,
                       double markerRadius, std::optional<double> xMin, std::optional<double> xMax,
                       std::optional<double> yMin, std::optional<double> yMax);
    void drawStepLineChart(const ChartPoints& jumpPoints, const ChartPoints& linePoints,
                           const std::string& seriesName, const std::string& title,
                           const std::string& xAxisTitle, const std::string& colorHexCode,
                           platform::AAChartType chartType, double markerRadius,
                           std::optional<double> yMax, std::optional<double> yMin);
};

class SplineChartView : public FunctionChartView {
  public:
    using FunctionChartView::FunctionChartView;
    void drawFunctionChart(const ChartPoints& points, const std::string& seriesName,
                           const std::string& title, const std::string& colorHexCode,
                           platform::AAChartType chartType, double markerRadius,
                           std::optional<double> yMax, std::optional<double> yMin,
                           bool usesPiLabels);
    // One series per (name, points) entry; every "function" in a name reads "func".
    void drawSplineChart(const std::vector<std::pair<std::string, ChartPoints>>& series,
                         const std::string& yAxisTitle, const std::string& title,
                         const std::vector<std::string>& colorHexCodes,
                         platform::AAChartType chartType, double markerRadius,
                         std::optional<double> yMax, std::optional<double> yMin);
};

// Hosts the chart view directly, without an interface file.
class AreaChartView : public platform::UIView {
  public:
    explicit AreaChartView(platform::CGRect frame);
    std::shared_ptr<platform::AAChartView> chartView;
};

class LineChartManager : public ChartManager {
  public:
    static std::shared_ptr<LineChartView> makeLineChartView(const LineChartData& data,
                                                            platform::CGRect frame);
    // Null when the data set is empty or its first or last point is.
    static std::shared_ptr<LineChartView> makeDistributionFunctionChartView(
        const DistributionFunctionChartData& data, platform::CGRect frame);
    // The data set with a point one unit before the first and one after the last, at the
    // function's limits (0 then 1, or 1 then 0 for a converse function); empty when the data
    // set cannot be extended.
    static ChartPoints distributionFunctionPoints(const DistributionFunctionChartData& data);
};

class SplineChartManager : public ChartManager {
  public:
    // Null without a length or type, or when no points can be sampled.
    static std::shared_ptr<SplineChartView> makeTrigonometricChartView(
        const TrigonometricChartData& data, platform::CGRect frame);
    // Null for an empty list.
    static std::shared_ptr<SplineChartView> makeSplineChartView(
        const std::vector<std::shared_ptr<CommonSplineChartData>>& list, platform::CGRect frame);
    // Empty without a length or type, for input that is not finite or a period of 0.
    static ChartPoints trigonometricPoints(const TrigonometricChartData& data);
};

class AreaChartManager : public ChartManager {
  public:
    // Appends the series of one colour group: its points between [smallest x - 1, 0] and
    // [largest x + 1, 0], stepped about each x. An empty group adds nothing.
    static void appendHistogramSeries(const std::string& hexColor, const ChartPoints& dataValues,
                                      const HistogramChartData& chartData,
                                      std::vector<platform::AASeriesElement>& series);
    // One area per colour group, in the group's colour.
    static std::shared_ptr<AreaChartView> makeAreaChartView(const HistogramChartData& data,
                                                            platform::CGRect frame);
};

struct TreeNode {
    std::string value;
    std::vector<std::shared_ptr<TreeNode>> children;
    bool isHighlighted = false;
    std::vector<std::string> chainOfEvents;
};

// Grows two children ("0" failure, "1" success) under `node` for each remaining trial. A node
// is highlighted when the successes still needed fit into the trials left. Trials <= 0 leave
// a leaf.
void buildTree(TreeNode& node, std::int64_t hitsNeeded, std::int64_t trials);

// The tree drawn on its canvas: the two probabilities above it, a circle per node with its value
// centred in it, the edges, and each leaf's probability slanted beneath it. Highlighted nodes and
// edges are pink, the others faint grey; every text is set in the system font of size 12.
class TreeChartView : public platform::UIView {
  public:
    explicit TreeChartView(platform::CGRect frame);
    std::string chartTitle;
    std::optional<std::string> probabilitySuccess, probabilityFailure;
    std::shared_ptr<TreeNode> rootNode;
    void draw(platform::CGContext& ctx, platform::CGRect rect) const override;
    platform::TextStyle textStyle() const override;

  private:
    void drawNode(platform::CGContext& ctx, const TreeNode& node, platform::CGPoint at,
                  double width) const;
};

inline constexpr std::int64_t kMaxTreeTrials = 10;

class TreeChartManager : public ChartManager {
  public:
    // The leaf label: probability in percent, three spaces, the chain ("21%   01").
    static std::string leafText(const TreeNode& leaf, const std::string& success,
                                const std::string& failure);
    static platform::CGSize canvasSize(std::int64_t trials);
    // A container of the frame, with the card shadow, holding a scroll view over the tree
    // canvas (its content size the canvas size, so a wide tree pans) and the title above it in
    // the system font of size 18. A tree of more than kMaxTreeTrials trials leaves the scroll
    // view empty.
    static std::shared_ptr<platform::UIView> makeTreeChartView(
        const BernoulliDistributionTreeChartData& data, platform::CGRect frame);
};

}  // namespace app
