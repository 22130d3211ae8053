#include "app/screens/TableScreenshot.h"

#include <algorithm>

#include "app/charts/ChartTableViewCell.h"
#include "platform/dispatch/SerialQueue.h"

namespace app {

std::shared_ptr<platform::UIImage> screenshotForCroppingRect(platform::UIView& view,
                                                             platform::CGRect croppingRect) {
    platform::UIGraphicsImageRenderer renderer(croppingRect.size);
    return renderer.image([&view](platform::CGContext& ctx) { view.layer()->render(ctx); });
}

std::shared_ptr<platform::UIImage> screenshot(platform::UIView& view) {
    return screenshotForCroppingRect(view, view.bounds());
}

std::shared_ptr<platform::UIImage> stitchImagesVertically(
    const std::vector<std::shared_ptr<platform::UIImage>>& images) {
    if (images.empty()) return nullptr;
    platform::CGSize size{0, 0};
    for (const auto& image : images) {
        size.width = std::max(size.width, image->size().width);
        size.height += image->size().height;
    }
    platform::UIGraphicsImageRenderer renderer(size);
    return renderer.image([&images](platform::CGContext& ctx) {
        double y = 0;
        for (const auto& image : images) {
            ctx.drawImage(*image, {0, y, image->size().width, image->size().height});
            y += image->size().height;
        }
    });
}

namespace {

bool wanted(const SectionFilter& filter, int section) {
    return !filter || filter->contains(section);
}

// One export under way: walks the pieces in table order and resumes after each chart delay.
struct Capture : std::enable_shared_from_this<Capture> {
    std::weak_ptr<platform::UITableView> table;
    SectionFilter headers, footers;
    std::function<void(std::shared_ptr<platform::UIImage>)> completion;
    std::vector<std::shared_ptr<platform::UIImage>> images;
    int section = 0;
    int row = 0;
    bool sectionStarted = false;

    // A header or footer rectangle: scrolled into view, captured, offset restored; a zero-size
    // piece contributes nothing.
    void capturePiece(platform::UITableView& t, platform::CGRect rect) {
        const auto offset = t.contentOffset();
        t.scrollRectToVisible(rect, false);
        auto image = screenshotForCroppingRect(t, rect);
        t.setContentOffset(offset, false);
        if (!image) {
            image = platform::UIGraphicsImageRenderer({t.bounds().size.width, rect.size.height})
                        .image([](platform::CGContext&) {});
        }
        if (image && image->size().width > 0 && image->size().height > 0) images.push_back(image);
    }

    void run() {
        const auto t = table.lock();
        if (!t) return finish(nullptr);
        while (section < t->numberOfSections()) {
            if (!sectionStarted) {
                sectionStarted = true;
                if (wanted(headers, section)) capturePiece(*t, t->rectForHeader(section));
            }
            while (row < t->numberOfRows(section)) {
                const platform::NSIndexPath path{section, row};
                const auto offset = t->contentOffset();
                t->scrollToRow(path, platform::UITableViewScrollPosition::top, false);
                t->layoutIfNeeded();
                const auto cell = t->cellForRow(path);
                ++row;
                if (!cell) {
                    t->setContentOffset(offset, false);
                    continue;
                }
                cell->setBackgroundColor(platform::UIColor::systemBackground());
                if (std::dynamic_pointer_cast<ChartTableViewCell>(cell)) {
                    // The chart gets its time to draw; the main thread stays free meanwhile.
                    platform::mainQueue().after(kChartRowCaptureDelaySeconds,
                                                [self = shared_from_this(), cell, offset] {
                                                    const auto t = self->table.lock();
                                                    if (!t) return self->finish(nullptr);
                                                    if (auto image = screenshot(*cell))
                                                        self->images.push_back(image);
                                                    t->setContentOffset(offset, false);
                                                    self->run();
                                                });
                    return;
                }
                if (auto image = screenshot(*cell)) images.push_back(image);
                t->setContentOffset(offset, false);
            }
            if (wanted(footers, section)) capturePiece(*t, t->rectForFooter(section));
            ++section;
            row = 0;
            sectionStarted = false;
        }
        finish(stitchImagesVertically(images));
    }

    void finish(std::shared_ptr<platform::UIImage> image) {
        auto done = std::move(completion);
        completion = nullptr;
        if (done) done(std::move(image));
    }
};

}  // namespace

void tableScreenshot(platform::UITableView& table, SectionFilter headerSections,
                     SectionFilter footerSections,
                     std::function<void(std::shared_ptr<platform::UIImage>)> completion) {
    auto capture = std::make_shared<Capture>();
    capture->table = table.shared<platform::UITableView>();
    capture->headers = std::move(headerSections);
    capture->footers = std::move(footerSections);
    capture->completion = std::move(completion);
    if (const auto header = table.tableHeaderView()) {
        const auto offset = table.contentOffset();
        const auto rect = header->frame();
        table.scrollRectToVisible(rect, false);
        auto image = screenshotForCroppingRect(table, rect);
        table.setContentOffset(offset, false);
        if (image) capture->images.push_back(image);
    }
    capture->run();
}

}  // namespace app
