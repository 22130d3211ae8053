#include "platform/ui/UITableView.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "platform/foundation/Log.h"
#include "platform/ui/UIStoryboard.h"
#include "platform/ui/UIWindow.h"

namespace platform {

UITableViewCell::UITableViewCell() : UITableViewCell(Style::defaultStyle, "") {}

UITableViewCell::UITableViewCell(Style style, std::string reuseIdentifier)
    : UIView(CGRect{0, 0, 390, 44}),
      reuseIdentifier_(std::move(reuseIdentifier)),
      contentView_(std::make_shared<UIView>(CGRect{0, 0, 390, 44})) {
    (void)style;
    contentView_->autoresizingMask =
        UIViewAutoresizing::flexibleWidth | UIViewAutoresizing::flexibleHeight;
}

std::shared_ptr<UILabel> UITableViewCell::textLabel() {
    if (!contentView_->superview()) addSubview(contentView_);
    if (!textLabel_) {
        CGRect b = contentView_->bounds();
        textLabel_ =
            std::make_shared<UILabel>(CGRect{16, 0, std::max(0.0, b.width() - 32), b.height()});
        textLabel_->autoresizingMask =
            UIViewAutoresizing::flexibleWidth | UIViewAutoresizing::flexibleHeight;
        contentView_->addSubview(textLabel_);
    }
    return textLabel_;
}

void UITableViewCell::setSelected(bool selected, bool animated) {
    (void)animated;
    selected_ = selected;
}

void UITableViewCell::setEditing(bool editing, bool animated) {
    (void)animated;
    editing_ = editing;
    setNeedsLayout();
}

void UITableViewCell::layoutSubviews() {
    const CGRect b = bounds();
    contentView_->setFrame(
        editing_
            ? CGRect{kEditingInset, 0, std::max(0.0, b.width() - 2 * kEditingInset), b.height()}
            : CGRect{0, 0, b.width(), b.height()});
}

void UITableViewCell::draw(CGContext& ctx, CGRect rect) const {
    (void)rect;
    if (!editing_) return;
    const CGRect b = bounds();
    const CGFloat middle = b.height() / 2;
    ctx.fill({9, middle - 11, 22, 22}, UIColor::systemRed(), 11);
    ctx.fill({14, middle - 1.5, 12, 3}, UIColor::white(1));
    for (int i = -1; i <= 1; ++i)
        ctx.fill({b.width() - 32, middle + i * 6 - 1, 20, 2}, UIColor::systemGray());
}

namespace {

UITableView* enclosingTable(const UIView* view) {
    for (auto v = view->superview(); v; v = v->superview()) {
        if (auto t = dynamic_cast<UITableView*>(v.get())) return t;
    }
    return nullptr;
}

}  // namespace

bool UITableViewCell::handleTap(CGPoint p) {
    if (UIView::handleTap(p)) return true;
    auto table = enclosingTable(this);
    if (!table) return false;
    if (editing_ && p.x < kEditingInset) {
        if (auto ip = table->indexPath(*this)) table->deleteRowByUser(*ip);
        return true;
    }
    if (auto ip = table->indexPath(*this)) table->userSelectRow(*ip);
    return true;
}

void UITableViewCell::describe(ViewDescription& d) const {
    UIView::describe(d);
    d.selected = selected_;
}

UITableView::UITableView(CGRect frame, UITableViewStyle style)
    : UIScrollView(frame), style_(style) {}

void UITableView::replaceAccessory(std::shared_ptr<UIView>& slot, std::shared_ptr<UIView> view) {
    if (slot) slot->removeFromSuperview();
    slot = std::move(view);
    if (slot) addSubview(slot);
    if (loaded_) {
        recomputeGeometry();
        layoutCells();
    }
}

void UITableView::setTableHeaderView(std::shared_ptr<UIView> view) {
    replaceAccessory(headerView_, std::move(view));
}

void UITableView::setTableFooterView(std::shared_ptr<UIView> view) {
    replaceAccessory(footerView_, std::move(view));
}

void UITableView::registerCell(const std::string& reuseIdentifier, CellFactory factory) {
    if (factory) factories_[reuseIdentifier] = std::move(factory);
}

void UITableView::registerNib(const std::string& nibName, const std::string& reuseIdentifier) {
    factories_[reuseIdentifier] = [nibName] {
        return UINib::instantiate<UITableViewCell>(nibName);
    };
}

std::shared_ptr<UITableViewCell> UITableView::dequeueReusableCell(
    const std::string& reuseIdentifier) {
    auto it = pool_.find(reuseIdentifier);
    if (it == pool_.end() || it->second.empty()) return nullptr;
    auto cell = it->second.back();
    it->second.pop_back();
    cell->prepareForReuse();
    return cell;
}

std::shared_ptr<UITableViewCell> UITableView::dequeueReusableCell(
    const std::string& reuseIdentifier, NSIndexPath indexPath) {
    (void)indexPath;
    if (auto cell = dequeueReusableCell(reuseIdentifier)) return cell;
    std::shared_ptr<UITableViewCell> cell;
    if (auto it = factories_.find(reuseIdentifier); it != factories_.end()) cell = it->second();
    if (!cell) {
        systemLog("UITableView: no cell registered for reuse identifier \"" + reuseIdentifier +
                  "\"; using a plain cell");
        cell = std::make_shared<UITableViewCell>();
    }
    cell->setReuseIdentifier(reuseIdentifier);
    return cell;
}

std::vector<int> UITableView::dataSourceCounts() {
    std::vector<int> counts;
    auto source = dataSource.lock();
    if (!source) return counts;
    int sections = std::max(0, source->numberOfSections(*this));
    for (int s = 0; s < sections; ++s) {
        counts.push_back(std::max(0, source->numberOfRowsInSection(*this, s)));
    }
    return counts;
}

int UITableView::numberOfRows(int section) const {
    return section >= 0 && section < numberOfSections() ? counts_[section] : 0;
}

void UITableView::recomputeGeometry() {
    auto delegate = tableDelegate.lock();
    sections_.assign(counts_.size(), {});
    CGFloat y = headerView_ ? headerView_->frame().height() : 0;
    for (int s = 0; s < numberOfSections(); ++s) {
        auto& g = sections_[s];
        g.top = y;
        CGFloat h = delegate ? delegate->heightForHeaderInSection(*this, s) : -1;
        g.header = h >= 0 ? h : sectionHeaderHeight;
        y += g.header;
        for (int r = 0; r < counts_[s]; ++r) {
            CGFloat rh = delegate ? delegate->heightForRowAt(*this, {s, r}) : -1;
            g.rowTops.push_back(y);
            g.rowHeights.push_back(rh >= 0 ? rh : rowHeight);
            y += g.rowHeights.back();
        }
        CGFloat f = delegate ? delegate->heightForFooterInSection(*this, s) : -1;
        g.footer = f >= 0 ? f : sectionFooterHeight;
        y += g.footer;
    }
    if (headerView_) {
        CGRect f = headerView_->frame();
        headerView_->setFrame({0, 0, bounds().width(), f.height()});
    }
    if (footerView_) {
        CGRect f = footerView_->frame();
        footerView_->setFrame({0, y, bounds().width(), f.height()});
        y += f.height();
    }
    setContentSize({bounds().width(), y});
}

CGRect UITableView::rectForRow(NSIndexPath ip) const {
    if (ip.section < 0 || ip.section >= static_cast<int>(sections_.size()) || ip.row < 0 ||
        ip.row >= static_cast<int>(sections_[ip.section].rowTops.size())) {
        return {};
    }
    const auto& g = sections_[ip.section];
    return {0, g.rowTops[ip.row], bounds().width(), g.rowHeights[ip.row]};
}

CGRect UITableView::rectForHeader(int section) const {
    if (section < 0 || section >= static_cast<int>(sections_.size())) return {};
    return {0, sections_[section].top, bounds().width(), sections_[section].header};
}

CGRect UITableView::rectForFooter(int section) const {
    if (section < 0 || section >= static_cast<int>(sections_.size())) return {};
    CGRect s = rectForSection(section);
    return {0, s.maxY() - sections_[section].footer, bounds().width(), sections_[section].footer};
}

CGRect UITableView::rectForSection(int section) const {
    if (section < 0 || section >= static_cast<int>(sections_.size())) return {};
    const auto& g = sections_[section];
    CGFloat h = g.header + g.footer;
    for (CGFloat r : g.rowHeights)
        h += r;
    return {0, g.top, bounds().width(), h};
}

std::optional<NSIndexPath> UITableView::indexPathForRow(CGPoint point) const {
    for (int s = 0; s < static_cast<int>(sections_.size()); ++s) {
        const auto& g = sections_[s];
        for (int r = 0; r < static_cast<int>(g.rowTops.size()); ++r) {
            if (point.y >= g.rowTops[r] && point.y < g.rowTops[r] + g.rowHeights[r]) {
                return NSIndexPath{s, r};
            }
        }
    }
    return std::nullopt;
}

void UITableView::enqueue(const std::shared_ptr<UITableViewCell>& cell) {
    cell->removeFromSuperview();
    cell->setSelected(false, false);
    if (cell->reuseIdentifier().empty()) return;
    auto& list = pool_[cell->reuseIdentifier()];
    // Never more waiting cells than could be on screen at once.
    if (list.size() < 64) list.push_back(cell);
}

std::shared_ptr<UITableViewCell> UITableView::makeCell(NSIndexPath indexPath) {
    auto source = dataSource.lock();
    std::shared_ptr<UITableViewCell> cell =
        source ? source->cellForRowAt(*this, indexPath) : nullptr;
    if (!cell) {
        systemLog("UITableView: the data source gave no cell for row " +
                  std::to_string(indexPath.row) + " of section " +
                  std::to_string(indexPath.section));
        cell = std::make_shared<UITableViewCell>();
    }
    return cell;
}

void UITableView::layoutCells() {
    if (inLayout_) return;
    inLayout_ = true;
    CGRect visibleRect{0, contentOffset().y, bounds().width(), bounds().height()};
    // Rows that left the screen go to the pool first, so new rows can reuse them.
    for (auto it = visible_.begin(); it != visible_.end();) {
        CGRect r = rectForRow(it->first);
        if (r.isEmpty() || !r.intersects(visibleRect)) {
            enqueue(it->second);
            it = visible_.erase(it);
        } else {
            ++it;
        }
    }
    auto delegate = tableDelegate.lock();
    for (int s = 0; s < numberOfSections(); ++s) {
        for (int r = 0; r < counts_[s]; ++r) {
            NSIndexPath ip{s, r};
            CGRect rect = rectForRow(ip);
            if (rect.isEmpty() || !rect.intersects(visibleRect)) continue;
            auto it = visible_.find(ip);
            if (it == visible_.end()) {
                auto cell = makeCell(ip);
                if (!cell->contentView()->superview()) cell->insertSubview(cell->contentView(), 0);
                cell->setFrame(rect);
                cell->setEditing(editing_, false);
                cell->setSelected(selected_ == ip, false);
                addSubview(cell);
                visible_[ip] = cell;
                if (delegate) delegate->willDisplayCell(*this, *cell, ip);
            } else {
                it->second->setFrame(rect);
            }
        }
    }
    // Section headers and footers that the delegate supplies, while their section shows.
    for (auto* group : {&headers_, &footers_}) {
        for (auto& [section, view] : *group)
            view->removeFromSuperview();
        group->clear();
    }
    if (delegate) {
        for (int s = 0; s < numberOfSections(); ++s) {
            for (bool header : {true, false}) {
                CGRect rect = header ? rectForHeader(s) : rectForFooter(s);
                if (rect.isEmpty() || !rect.intersects(visibleRect)) continue;
                auto view = header ? delegate->viewForHeaderInSection(*this, s)
                                   : delegate->viewForFooterInSection(*this, s);
                if (!view) continue;
                view->setFrame(rect);
                addSubview(view);
                (header ? headers_ : footers_)[s] = view;
            }
        }
    }
    inLayout_ = false;
}

void UITableView::reloadData() {
    if (inLayout_) return;
    loaded_ = true;
    for (auto& [ip, cell] : visible_)
        enqueue(cell);
    visible_.clear();
    counts_ = dataSourceCounts();
    recomputeGeometry();
    if (selected_ && (selected_->section >= numberOfSections() ||
                      selected_->row >= counts_[selected_->section])) {
        selected_.reset();
    }
    CGFloat y = std::min(contentOffset().y, maxOffsetY());
    setBoundsOrigin({contentOffset().x, std::max(0.0, y)});
    layoutCells();
}

void UITableView::reloadRows(const std::vector<NSIndexPath>& paths,
                             UITableViewRowAnimation animation) {
    (void)animation;
    for (const auto& ip : paths) {
        auto it = visible_.find(ip);
        if (it == visible_.end()) continue;
        enqueue(it->second);
        visible_.erase(it);
    }
    recomputeGeometry();
    layoutCells();
}

void UITableView::applyUpdate(const std::vector<int>& newCounts,
                              const std::function<std::optional<NSIndexPath>(NSIndexPath)>& remap) {
    std::map<NSIndexPath, std::shared_ptr<UITableViewCell>> moved;
    for (auto& [ip, cell] : visible_) {
        if (auto to = remap(ip))
            moved[*to] = cell;
        else
            enqueue(cell);
    }
    visible_ = std::move(moved);
    if (selected_) selected_ = remap(*selected_);
    counts_ = newCounts;
    recomputeGeometry();
    setBoundsOrigin({contentOffset().x, std::clamp(contentOffset().y, 0.0, maxOffsetY())});
    layoutCells();
}

namespace {

std::string countMismatch(int section, int now, int before, int inserted, int deleted) {
    return "UITableView: invalid update: section " + std::to_string(section) + " has " +
           std::to_string(now) + " rows after the update, but had " + std::to_string(before) +
           " plus " + std::to_string(inserted) + " inserted minus " + std::to_string(deleted) +
           " deleted; reloading";
}

}  // namespace

void UITableView::insertRows(const std::vector<NSIndexPath>& paths,
                             UITableViewRowAnimation animation) {
    (void)animation;
    if (!loaded_) return reloadData();
    auto now = dataSourceCounts();
    std::set<NSIndexPath> inserted(paths.begin(), paths.end());
    for (int s = 0; s < static_cast<int>(std::max(now.size(), counts_.size())); ++s) {
        int before = s < numberOfSections() ? counts_[s] : 0;
        int after = s < static_cast<int>(now.size()) ? now[s] : 0;
        int added = static_cast<int>(std::count_if(inserted.begin(), inserted.end(),
                                                   [s](auto& ip) { return ip.section == s; }));
        if (now.size() != counts_.size() || after != before + added) {
            systemLog(countMismatch(s, after, before, added, 0));
            return reloadData();
        }
    }
    applyUpdate(now, [&](NSIndexPath ip) -> std::optional<NSIndexPath> {
        // Walk the new rows in order; each insertion at or before the row pushes it down.
        int row = ip.row;
        for (const auto& ins : inserted) {
            if (ins.section == ip.section && ins.row <= row) ++row;
        }
        return NSIndexPath{ip.section, row};
    });
}

void UITableView::deleteRows(const std::vector<NSIndexPath>& paths,
                             UITableViewRowAnimation animation) {
    (void)animation;
    if (!loaded_) return reloadData();
    auto now = dataSourceCounts();
    std::set<NSIndexPath> deleted;
    for (const auto& ip : paths) {
        if (ip.section >= 0 && ip.section < numberOfSections() && ip.row >= 0 &&
            ip.row < counts_[ip.section]) {
            deleted.insert(ip);
        }
    }
    for (int s = 0; s < static_cast<int>(std::max(now.size(), counts_.size())); ++s) {
        int before = s < numberOfSections() ? counts_[s] : 0;
        int after = s < static_cast<int>(now.size()) ? now[s] : 0;
        int removed = static_cast<int>(std::count_if(deleted.begin(), deleted.end(),
                                                     [s](auto& ip) { return ip.section == s; }));
        if (now.size() != counts_.size() || after != before - removed) {
            systemLog(countMismatch(s, after, before, 0, removed));
            return reloadData();
        }
    }
    applyUpdate(now, [&](NSIndexPath ip) -> std::optional<NSIndexPath> {
        if (deleted.count(ip)) return std::nullopt;
        int shift = static_cast<int>(std::count_if(deleted.begin(), deleted.end(), [&](auto& d) {
            return d.section == ip.section && d.row < ip.row;
        }));
        return NSIndexPath{ip.section, ip.row - shift};
    });
}

void UITableView::moveRow(NSIndexPath from, NSIndexPath to) {
    if (!loaded_) return reloadData();
    auto now = dataSourceCounts();
    if (now.size() != counts_.size() || from.section < 0 || from.section >= numberOfSections() ||
        from.row < 0 || from.row >= counts_[from.section] || to.section < 0 ||
        to.section >= numberOfSections()) {
        systemLog("UITableView: invalid move; reloading");
        return reloadData();
    }
    applyUpdate(now, [&](NSIndexPath ip) -> std::optional<NSIndexPath> {
        if (ip == from) return to;
        NSIndexPath out = ip;
        if (ip.section == from.section && ip.row > from.row) --out.row;
        if (out.section == to.section && out.row >= to.row) ++out.row;
        return out;
    });
}

void UITableView::scrollToRow(NSIndexPath indexPath, UITableViewScrollPosition position,
                              bool animated) {
    CGRect r = rectForRow(indexPath);
    if (r.isEmpty()) {
        systemLog("UITableView: cannot scroll to row " + std::to_string(indexPath.row) +
                  " of section " + std::to_string(indexPath.section));
        return;
    }
    CGFloat h = bounds().height();
    CGFloat y = contentOffset().y;
    switch (position) {
        case UITableViewScrollPosition::top:
            y = r.minY();
            break;
        case UITableViewScrollPosition::middle:
            y = r.center().y - h / 2;
            break;
        case UITableViewScrollPosition::bottom:
            y = r.maxY() - h;
            break;
        case UITableViewScrollPosition::none:
            return scrollRectToVisible(r, animated);
    }
    setContentOffset({contentOffset().x, std::clamp(y, 0.0, maxOffsetY())}, animated);
}

void UITableView::setContentOffset(CGPoint offset, bool animated) {
    UIScrollView::setContentOffset(offset, animated);
    if (loaded_) layoutCells();
}

std::shared_ptr<UITableViewCell> UITableView::cellForRow(NSIndexPath indexPath) const {
    auto it = visible_.find(indexPath);
    return it == visible_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<UITableViewCell>> UITableView::visibleCells() const {
    std::vector<std::shared_ptr<UITableViewCell>> cells;
    for (auto& [ip, cell] : visible_)
        cells.push_back(cell);
    return cells;
}

std::vector<NSIndexPath> UITableView::indexPathsForVisibleRows() const {
    std::vector<NSIndexPath> paths;
    for (auto& [ip, cell] : visible_)
        paths.push_back(ip);
    return paths;
}

std::optional<NSIndexPath> UITableView::indexPath(const UITableViewCell& cell) const {
    for (auto& [ip, c] : visible_) {
        if (c.get() == &cell) return ip;
    }
    return std::nullopt;
}

void UITableView::selectRow(std::optional<NSIndexPath> indexPath, bool animated,
                            UITableViewScrollPosition position) {
    if (selected_) {
        if (auto cell = cellForRow(*selected_)) cell->setSelected(false, animated);
    }
    selected_.reset();
    if (!indexPath || rectForRow(*indexPath).isEmpty()) return;
    selected_ = indexPath;
    if (auto cell = cellForRow(*indexPath)) cell->setSelected(true, animated);
    if (position != UITableViewScrollPosition::none) scrollToRow(*indexPath, position, animated);
}

void UITableView::deselectRow(NSIndexPath indexPath, bool animated) {
    if (selected_ != indexPath) return;
    if (auto cell = cellForRow(indexPath)) cell->setSelected(false, animated);
    selected_.reset();
}

void UITableView::setEditing(bool editing, bool animated) {
    editing_ = editing;
    for (auto& [ip, cell] : visible_)
        cell->setEditing(editing, animated);
}

void UITableView::userSelectRow(NSIndexPath indexPath) {
    if (!allowsSelection || editing_) return;
    auto keep = shared<UITableView>();
    selectRow(indexPath, false, UITableViewScrollPosition::none);
    if (auto d = tableDelegate.lock()) d->didSelectRowAt(*this, indexPath);
}

void UITableView::layoutSubviews() {
    if (!loaded_) return reloadData();
    recomputeGeometry();
    layoutCells();
}

bool UITableView::deleteRowByUser(NSIndexPath indexPath) {
    auto source = dataSource.lock();
    if (!source || !source->canEditRowAt(*this, indexPath)) return false;
    auto delegate = tableDelegate.lock();
    auto style = delegate ? delegate->editingStyleForRowAt(*this, indexPath)
                          : UITableViewCellEditingStyle::delete_;
    if (style != UITableViewCellEditingStyle::delete_) return false;
    auto keep = shared<UITableView>();
    source->commitEditingStyle(*this, UITableViewCellEditingStyle::delete_, indexPath);
    return true;
}

bool UITableView::handleSwipe(UISwipeDirection direction, CGPoint p) {
    if (direction != UISwipeDirection::left) return UIScrollView::handleSwipe(direction, p);
    auto ip = indexPathForRow(p);
    return ip && deleteRowByUser(*ip);
}

bool UITableView::handleDrag(CGPoint from, CGPoint to) {
    if (!editing_) {
        const CGFloat dx = to.x - from.x, dy = to.y - from.y;
        if (std::abs(dx) > 2 * std::abs(dy)) {
            return handleSwipe(dx < 0 ? UISwipeDirection::left : UISwipeDirection::right, from);
        }
        return UIScrollView::handleDrag(from, to);
    }
    auto source = dataSource.lock();
    auto start = indexPathForRow(from);
    if (!source || !start || !source->canMoveRowAt(*this, *start)) return false;
    auto end = indexPathForRow(to);
    if (!end) {
        // Dropped past the last row: the end of the last section.
        int s = numberOfSections() - 1;
        end = NSIndexPath{s, std::max(0, numberOfRows(s) - 1)};
    }
    if (*end == *start) return true;
    auto keep = shared<UITableView>();
    // The table shows the move first; the data source then follows it.
    applyUpdate(counts_, [&](NSIndexPath ip) -> std::optional<NSIndexPath> {
        if (ip == *start) return *end;
        NSIndexPath out = ip;
        if (ip.section == start->section && ip.row > start->row) --out.row;
        if (out.section == end->section && out.row >= end->row) ++out.row;
        return out;
    });
    if (start->section != end->section) {
        --counts_[start->section];
        ++counts_[end->section];
        recomputeGeometry();
        layoutCells();
    }
    source->moveRowAt(*this, *start, *end);
    return true;
}

void UITableView::describe(ViewDescription& d) const {
    UIScrollView::describe(d);
    d.rows = counts_;
    d.editing = editing_;
}

std::shared_ptr<UITableView> UITableViewController::tableView() {
    return std::dynamic_pointer_cast<UITableView>(view());
}

void UITableViewController::loadView() {
    UIViewController::loadView();
    auto table = std::dynamic_pointer_cast<UITableView>(isViewLoaded() ? view() : nullptr);
    if (!table) {
        table = std::make_shared<UITableView>(UIScreen::main().bounds, tableStyle_);
        setView(table);
    }
    auto self = shared<UITableViewController>();
    table->dataSource = std::static_pointer_cast<UITableViewDataSource>(self);
    table->tableDelegate = std::static_pointer_cast<UITableViewDelegate>(self);
    table->delegate = std::static_pointer_cast<UIScrollViewDelegate>(table->tableDelegate.lock());
}

std::shared_ptr<UITableViewCell> UITableViewController::cellForRowAt(UITableView& tableView,
                                                                     NSIndexPath indexPath) {
    (void)tableView;
    (void)indexPath;
    return std::make_shared<UITableViewCell>();
}

void UITableViewController::setEditing(bool editing, bool animated) {
    editing_ = editing;
    if (auto t = tableView()) t->setEditing(editing, animated);
}

}  // namespace platform
