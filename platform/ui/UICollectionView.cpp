#include "platform/ui/UICollectionView.h"

#include <algorithm>

#include "platform/foundation/Log.h"
#include "platform/ui/UIStoryboard.h"

namespace platform {

namespace {
// Never more waiting cells per identifier than could be on screen at once.
constexpr std::size_t kMaxWaitingCells = 64;
}  // namespace

UICollectionViewCell::UICollectionViewCell() : contentView_(std::make_shared<UIView>()) {}

void UICollectionViewCell::layoutSubviews() {
    // The content view joins on the first layout (a view cannot adopt subviews while it is
    // being constructed) and always fills the cell.
    if (!contentView_->superview()) insertSubview(contentView_, 0);
    contentView_->setFrame(bounds());
}

UICollectionView::UICollectionView(CGRect frame) : UIScrollView(frame) {}

void UICollectionView::registerCell(const std::string& reuseIdentifier, CellFactory factory) {
    factories_[reuseIdentifier] = std::move(factory);
}

void UICollectionView::registerNib(const std::string& nibName, const std::string& reuseIdentifier) {
    factories_[reuseIdentifier] = [nibName] {
        return UINib::instantiate<UICollectionViewCell>(nibName);
    };
}

std::shared_ptr<UICollectionViewCell> UICollectionView::dequeueReusableCell(
    const std::string& reuseIdentifier, NSIndexPath indexPath) {
    (void)indexPath;
    if (auto it = pool_.find(reuseIdentifier); it != pool_.end() && !it->second.empty()) {
        auto cell = it->second.back();
        it->second.pop_back();
        cell->prepareForReuse();
        return cell;
    }
    std::shared_ptr<UICollectionViewCell> cell;
    if (auto it = factories_.find(reuseIdentifier); it != factories_.end()) cell = it->second();
    if (!cell) {
        systemLog("UICollectionView: no cell registered for reuse identifier \"" + reuseIdentifier +
                  "\"; using a plain cell");
        cell = std::make_shared<UICollectionViewCell>();
    }
    cell->setReuseIdentifier(reuseIdentifier);
    return cell;
}

void UICollectionView::recomputeGeometry() {
    frames_.clear();
    const auto source = dataSource.lock();
    const int count = source ? std::max(0, source->numberOfItemsInSection(*this, 0)) : 0;
    const auto delegate = collectionDelegate.lock();
    CGFloat x = 0;
    CGFloat height = 0;
    for (int item = 0; item < count; ++item) {
        CGSize size = delegate ? delegate->sizeForItemAt(*this, {0, item}) : CGSize{-1, -1};
        if (size.width < 0 || size.height < 0) size = itemSize;
        frames_.push_back({x, 0, size.width, size.height});
        x += size.width + minimumLineSpacing;
        height = std::max(height, size.height);
    }
    setContentSize({count > 0 ? x - minimumLineSpacing : 0, height});
    geometrySize_ = bounds().size;
}

void UICollectionView::reloadData() {
    for (auto& [item, cell] : visible_) {
        cell->removeFromSuperview();
        auto& list = pool_[cell->reuseIdentifier()];
        if (!cell->reuseIdentifier().empty() && list.size() < kMaxWaitingCells)
            list.push_back(cell);
    }
    visible_.clear();
    recomputeGeometry();
    loaded_ = true;
    setNeedsLayout();
    layoutIfNeeded();
}

CGRect UICollectionView::frameForItem(int item) const {
    if (item < 0 || item >= numberOfItems()) return {};
    return frames_[static_cast<std::size_t>(item)];
}

std::shared_ptr<UICollectionViewCell> UICollectionView::cellForItem(NSIndexPath indexPath) const {
    const auto it = visible_.find(indexPath.row);
    return it == visible_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<UICollectionViewCell>> UICollectionView::visibleCells() const {
    std::vector<std::shared_ptr<UICollectionViewCell>> cells;
    for (const auto& [item, cell] : visible_)
        cells.push_back(cell);
    return cells;
}

void UICollectionView::layoutSubviews() {
    if (!loaded_) {
        // The first layout loads the data, as on the phone.
        loaded_ = true;
        recomputeGeometry();
    } else if (!(bounds().size == geometrySize_)) {
        // Item sizes may follow the view's own (a flow layout's items as tall as the view).
        recomputeGeometry();
    }
    const CGRect visibleRect = bounds();
    const auto intersects = [&](CGRect r) {
        return r.minX() < visibleRect.maxX() && r.maxX() > visibleRect.minX();
    };
    for (auto it = visible_.begin(); it != visible_.end();) {
        if (it->first < numberOfItems() &&
            intersects(frames_[static_cast<std::size_t>(it->first)])) {
            ++it;
            continue;
        }
        it->second->removeFromSuperview();
        auto& list = pool_[it->second->reuseIdentifier()];
        if (!it->second->reuseIdentifier().empty() && list.size() < kMaxWaitingCells)
            list.push_back(it->second);
        it = visible_.erase(it);
    }
    const auto source = dataSource.lock();
    if (!source) return;
    for (int item = 0; item < numberOfItems(); ++item) {
        const CGRect rect = frames_[static_cast<std::size_t>(item)];
        if (!intersects(rect)) continue;
        auto& cell = visible_[item];
        if (!cell) {
            cell = source->cellForItemAt(*this, {0, item});
            if (!cell) {
                systemLog("UICollectionView: the data source gave no cell for item " +
                          std::to_string(item));
                cell = std::make_shared<UICollectionViewCell>();
            }
            addSubview(cell);
        }
        cell->setFrame(rect);
        cell->layoutIfNeeded();
    }
}

}  // namespace platform
