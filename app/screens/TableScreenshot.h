#pragma once

// The whole result table as one tall image: each piece (table header, section headers, rows,
// section footers) is scrolled into view, rendered and the scroll position put back; the pieces
// are then stacked. Chart rows get 2 s on a main-queue timer to finish drawing first. Main thread.

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "platform/ui/UITableView.h"

namespace app {

inline constexpr double kChartRowCaptureDelaySeconds = 2.0;

// The top-left region of the view's visible content, of the rectangle's size (origin ignored).
std::shared_ptr<platform::UIImage> screenshotForCroppingRect(platform::UIView& view,
                                                             platform::CGRect croppingRect);
std::shared_ptr<platform::UIImage> screenshot(platform::UIView& view);
// Stacked top to bottom at x 0: as wide as the widest image, as tall as all together. None for
// an empty list.
std::shared_ptr<platform::UIImage> stitchImagesVertically(
    const std::vector<std::shared_ptr<platform::UIImage>>& images);

using SectionFilter = std::optional<std::set<int>>;
// Captures `table` piece by piece and hands the stitched image to `completion`: at once, or after
// the chart rows' delays on the main queue.
// Absent filters take every section's header or footer.
void tableScreenshot(platform::UITableView& table, SectionFilter headerSections,
                     SectionFilter footerSections,
                     std::function<void(std::shared_ptr<platform::UIImage>)> completion);

}  // namespace app
