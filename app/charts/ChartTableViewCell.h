#pragma once

// A chart row of the result page: turns the row's chart descriptions into one chart view, sized
// from the row's width and the description's frame ratio (the chart views are in ChartViews.h).

#include <atomic>
#include <memory>

#include "app/core/ChartData.h"
#include "platform/ui/UITableView.h"

namespace app {

inline constexpr char kChartCellId[] = "chartCell";
inline constexpr char kChartTableViewCellNib[] = "ChartTableViewCell";

// True exactly while the result page exports its table as an image. Main thread.
extern std::atomic<bool> isTakingScreenshot;

// The frame ratio that sizes a chart row: that of the list's first description when it is
// positive and finite, else none (the row then takes the table's row height and stays empty).
std::optional<double> usableFrameRatio(const ChartDataList& list);

// The chart's frame inside a row of width `width`: a 5 % margin on every side.
platform::CGRect chartFrame(double width, double frameRatio);

class ChartTableViewCell : public platform::UITableViewCell {
  public:
    ChartTableViewCell();
    ChartDataList chartData;

    void configure(const ChartDataList& list, const platform::UIView& parentView);
    void startChartAnimation();
    std::shared_ptr<platform::UIView> makeChartView(const ChartData& data,
                                                    const platform::UIView& parentView);
    std::shared_ptr<platform::UIView> makeCombinedChartView(const ChartDataList& list,
                                                            const platform::UIView& parentView);
};

// Registers the nib "ChartTableViewCell" (idempotent).
void registerChartTableViewCellNib();

}  // namespace app
