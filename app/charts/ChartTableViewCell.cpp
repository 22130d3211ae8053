#include "app/charts/ChartTableViewCell.h"

#include <cmath>

#include "app/charts/ChartViews.h"
#include "app/charts/DistributionFunctionPresentationView.h"
#include "app/charts/UnitCircleChartView.h"
#include "platform/ui/UIStoryboard.h"

namespace app {

std::atomic<bool> isTakingScreenshot{false};

std::optional<double> usableFrameRatio(const ChartDataList& list) {
    if (list.empty() || !list.front()) return std::nullopt;
    const double ratio = list.front()->frameRatio;
    if (!std::isfinite(ratio) || ratio <= 0) return std::nullopt;
    return ratio;
}

platform::CGRect chartFrame(double width, double frameRatio) {
    return {0.05 * width, 0.05 * width / frameRatio, 0.9 * width, 0.9 * width / frameRatio};
}

ChartTableViewCell::ChartTableViewCell()
    : platform::UITableViewCell(Style::defaultStyle, kChartCellId) {}

void ChartTableViewCell::configure(const ChartDataList& list, const platform::UIView& parentView) {
    chartData = list;
    const auto subviews = contentView()->subviews();
    for (const auto& subview : subviews)
        subview->removeFromSuperview();
    // A list without a usable ratio cannot be sized; the row stays empty.
    if (!usableFrameRatio(list)) return;
    if (list.size() == 1) {
        if (auto view = makeChartView(*list.front(), parentView)) {
            contentView()->addSubview(std::move(view));
            return;
        }
    }
    if (auto view = makeCombinedChartView(list, parentView)) {
        contentView()->addSubview(std::move(view));
    }
}

std::shared_ptr<platform::UIView> ChartTableViewCell::makeChartView(
    const ChartData& data, const platform::UIView& parentView) {
    const double ratio = data.frameRatio;
    if (!std::isfinite(ratio) || ratio <= 0) return nullptr;
    const auto frame = chartFrame(parentView.frame().width(), ratio);
    if (auto* line = dynamic_cast<const LineChartData*>(&data))
        return LineChartManager::makeLineChartView(*line, frame);
    if (auto* circle = dynamic_cast<const UnitCircleChartData*>(&data)) {
        auto view = std::make_shared<UnitCircleChartView>(frame);
        view->unitCircleChartData = std::make_shared<UnitCircleChartData>(*circle);
        return view;
    }
    if (auto* trig = dynamic_cast<const TrigonometricChartData*>(&data))
        return SplineChartManager::makeTrigonometricChartView(*trig, frame);
    if (auto* histogram = dynamic_cast<const HistogramChartData*>(&data))
        return AreaChartManager::makeAreaChartView(*histogram, frame);
    if (auto* dist = dynamic_cast<const DistributionFunctionChartData*>(&data)) {
        if (!dist->isPresentationView)
            return LineChartManager::makeDistributionFunctionChartView(*dist, frame);
        if (dist->dataSet.empty() || dist->dataSet.front().empty()) return nullptr;
        return std::make_shared<DistributionFunctionPresentationView>(frame,
                                                                      dist->dataSet.front().back());
    }
    if (auto* tree = dynamic_cast<const BernoulliDistributionTreeChartData*>(&data))
        return TreeChartManager::makeTreeChartView(*tree, frame);
    return nullptr;
}

std::shared_ptr<platform::UIView> ChartTableViewCell::makeCombinedChartView(
    const ChartDataList& list, const platform::UIView& parentView) {
    const auto ratio = usableFrameRatio(list);
    if (!ratio) return nullptr;
    std::vector<std::shared_ptr<CommonSplineChartData>> splines;
    for (const auto& d : list) {
        auto spline = std::dynamic_pointer_cast<CommonSplineChartData>(d);
        if (!spline) return nullptr;
        splines.push_back(std::move(spline));
    }
    return SplineChartManager::makeSplineChartView(splines,
                                                   chartFrame(parentView.frame().width(), *ratio));
}

void ChartTableViewCell::startChartAnimation() {
    for (const auto& d : chartData)
        if (!std::dynamic_pointer_cast<UnitCircleChartData>(d)) return;
    const auto& subviews = contentView()->subviews();
    if (subviews.empty()) return;
    if (auto circle = std::dynamic_pointer_cast<UnitCircleChartView>(subviews.front()))
        circle->startAnimation();
}

void registerChartTableViewCellNib() {
    platform::UINib::registerNib(kChartTableViewCellNib,
                                 [] { return std::make_shared<ChartTableViewCell>(); });
}

}  // namespace app
