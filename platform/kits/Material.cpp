#include "platform/kits/Material.h"

#include <algorithm>
#include <cmath>

#include "platform/ui/UIWindow.h"

namespace platform {
namespace {

constexpr CGFloat kItemSide = 44;
constexpr CGFloat kToolbarHeight = 56;
const char kDepthKey = 0;
const char kTabItemKey = 0;

}  // namespace

void setDepthPreset(UIView& view, DepthPreset preset) {
    view.setAssociatedObject(&kDepthKey, std::make_shared<DepthPreset>(preset));
    auto& layer = *view.layer();
    int depth = static_cast<int>(preset);
    layer.shadowColor = depth ? std::optional(UIColor::black()) : std::nullopt;
    layer.shadowOpacity = depth ? 0.3 : 0;
    layer.shadowRadius = depth;
    layer.shadowOffset = {0, static_cast<CGFloat>(depth)};
}

DepthPreset depthPreset(const UIView& view) {
    auto p = std::static_pointer_cast<DepthPreset>(view.associatedObject(&kDepthKey));
    return p ? *p : DepthPreset::none;
}

void setFontSize(UILabel& label, CGFloat size) {
    label.font.pointSize = size;
}

namespace Icon {
std::shared_ptr<UIImage> menu() {
    return UIImage::named("ic_menu_white");
}
std::shared_ptr<UIImage> check() {
    return UIImage::named("ic_check_white");
}
std::shared_ptr<UIImage> arrowBack() {
    return UIImage::named("ic_arrow_back_white");
}
std::shared_ptr<UIImage> share() {
    return UIImage::named("ic_share_white");
}
std::shared_ptr<UIImage> edit() {
    return UIImage::named("ic_edit_white");
}
std::shared_ptr<UIImage> clear() {
    return UIImage::named("ic_close_white");
}
std::shared_ptr<UIImage> info() {
    return UIImage::named("ic_info_white");
}
}  // namespace Icon

UIColor Color::blueGrey::lighten5() {
    return *UIColor::hex("#eceff1");
}

CGPoint Motion::center(CGRect rect) {
    return rect.center();
}

IconButton::IconButton(std::shared_ptr<UIImage> image, std::optional<UIColor> tintColor,
                       ThemingStyle style) {
    themingStyle = style;
    setFrame({0, 0, kItemSide, kItemSide});
    setImage(image ? image->withRenderingMode(UIImage::RenderingMode::alwaysTemplate) : nullptr);
    setTintColor(tintColor);
}

IconButton::IconButton(const std::string& title, std::optional<UIColor> titleColor,
                       ThemingStyle style) {
    themingStyle = style;
    setFrame({0, 0, kItemSide, kItemSide});
    setTitle(title);
    setTitleColor(titleColor);
}

FABButton::FABButton() {
    setFrame({0, 0, 56, 56});
    layer()->cornerRadius = 28;
    setDepthPreset(*this, DepthPreset::depth1);
}

Toolbar::Toolbar() {
    titleLabel_->textAlignment = NSTextAlignment::center;
    detailLabel_->textAlignment = NSTextAlignment::center;
    detailLabel_->font = UIFont::systemFont(12);
    addSubview(titleLabel_);
    addSubview(detailLabel_);
}

void Toolbar::setLeftViews(std::vector<std::shared_ptr<UIView>> views) {
    for (auto& v : leftViews_)
        v->removeFromSuperview();
    leftViews_ = std::move(views);
    for (auto& v : leftViews_)
        addSubview(v);
    setNeedsLayout();
}

void Toolbar::setRightViews(std::vector<std::shared_ptr<UIView>> views) {
    for (auto& v : rightViews_)
        v->removeFromSuperview();
    rightViews_ = std::move(views);
    for (auto& v : rightViews_)
        addSubview(v);
    setNeedsLayout();
}

void Toolbar::setContentEdgeInsets(UIEdgeInsets insets) {
    insets_ = insets;
    setNeedsLayout();
}

void Toolbar::layoutSubviews() {
    CGRect content = insetRect(bounds(), insets_);
    CGFloat itemY = content.minY() + (content.height() - kItemSide) / 2;
    CGFloat left = content.minX();
    for (auto& v : leftViews_) {
        if (v->isHidden()) continue;
        v->setFrame({left, itemY, kItemSide, kItemSide});
        left += kItemSide;
    }
    CGFloat right = content.maxX();
    for (auto it = rightViews_.rbegin(); it != rightViews_.rend(); ++it) {
        if ((*it)->isHidden()) continue;
        right -= kItemSide;
        (*it)->setFrame({right, itemY, kItemSide, kItemSide});
    }
    CGFloat x = left + 8, w = std::max(0.0, right - 8 - x);
    bool detail = !detailLabel_->text().empty();
    CGFloat titleH = titleLabel_->font.pointSize * 1.2;
    CGFloat detailH = detail ? detailLabel_->font.pointSize * 1.2 : 0;
    CGFloat y = content.minY() + (content.height() - titleH - detailH) / 2;
    titleLabel_->setFrame({x, y, w, titleH});
    detailLabel_->setFrame({x, y + titleH, w, detailH});
    detailLabel_->setHidden(!detail);
}

TransitionController::TransitionController(std::shared_ptr<UIViewController> rootViewController)
    : root_(std::move(rootViewController)) {}

void TransitionController::prepare() {}

void TransitionController::loadView() {
    auto view = std::make_shared<UIView>(UIScreen::main().bounds);
    container_->setClipsToBounds(true);
    view->addSubview(container_);
    setView(view);
    if (root_) {
        addChild(root_);
        auto rootView = root_->view();
        rootView->setFrame(container_->bounds());
        rootView->autoresizingMask =
            UIViewAutoresizing::flexibleWidth | UIViewAutoresizing::flexibleHeight;
        container_->addSubview(rootView);
    }
}

void TransitionController::viewDidLoad() {
    UIViewController::viewDidLoad();
    if (prepared_) return;
    prepared_ = true;
    prepare();
    view()->setNeedsLayout();
}

void TransitionController::layoutChrome() {
    container_->setFrame(view()->bounds());
}

void TransitionController::transition(std::shared_ptr<UIViewController> to,
                                      std::function<void(bool)> completion) {
    view();
    if (!to || to == root_) {
        if (completion) completion(to != nullptr);
        return;
    }
    auto keep = shared<TransitionController>();
    auto from = root_;
    to->removeFromParent();
    addChild(to);
    transitionChild(from, to, [&] {
        if (from && from->isViewLoaded()) from->view()->removeFromSuperview();
        auto v = to->view();
        v->setFrame(container_->bounds());
        v->autoresizingMask =
            UIViewAutoresizing::flexibleWidth | UIViewAutoresizing::flexibleHeight;
        container_->addSubview(v);
        root_ = to;
    });
    if (from) from->removeFromParent();
    if (completion) completion(true);
}

ToolbarController::ToolbarController(std::shared_ptr<UIViewController> rootViewController)
    : TransitionController(std::move(rootViewController)) {}

void ToolbarController::prepare() {
    TransitionController::prepare();
    view()->addSubview(statusBar_);
    view()->addSubview(toolbar_);
    setDepthPreset(*toolbar_, DepthPreset::depth1);
}

void ToolbarController::layoutChrome() {
    CGRect b = view()->bounds();
    CGFloat top = 0;
    if (!statusBar_->isHidden()) {
        top = kWindowSafeAreaInsets.top;
        statusBar_->setFrame({0, 0, b.width(), top});
    }
    CGFloat h = toolbar_->frame().height() > 0 ? toolbar_->frame().height() : kToolbarHeight;
    toolbar_->setFrame({0, top, b.width(), h});
    container()->setFrame({0, top + h, b.width(), std::max(0.0, b.height() - top - h)});
}

NavigationDrawerController::NavigationDrawerController(
    std::shared_ptr<UIViewController> rootViewController,
    std::shared_ptr<UIViewController> leftViewController,
    std::shared_ptr<UIViewController> rightViewController)
    : TransitionController(std::move(rootViewController)),
      left_(std::move(leftViewController)),
      right_(std::move(rightViewController)) {}

void NavigationDrawerController::loadView() {
    TransitionController::loadView();
    auto v = view();
    overlay_->setBackgroundColor(UIColor::white(0, 0.5));
    overlay_->setHidden(true);
    std::weak_ptr<NavigationDrawerController> weakSelf = shared<NavigationDrawerController>();
    overlay_->addGestureRecognizer(
        std::make_shared<UITapGestureRecognizer>([weakSelf](UITapGestureRecognizer& tap) {
            auto self = weakSelf.lock();
            if (!self) return;
            if (auto d = self->delegate.lock()) {
                d->navigationDrawerControllerDidTapAt(*self, tap.location(),
                                                      NavigationDrawerPosition::left);
            }
            self->closeLeftView();
        }));
    v->addSubview(overlay_);
    // The delegate hears of a swipe or a drag as a pan from where it began to where it ended.
    auto pan = [weakSelf](bool open, CGPoint from, CGPoint to) {
        auto self = weakSelf.lock();
        if (!self) return;
        auto d = self->delegate.lock();
        auto left = NavigationDrawerPosition::left;
        if (d) d->navigationDrawerControllerDidBeginPanAt(*self, from, left);
        if (open)
            self->openLeftView();
        else
            self->closeLeftView();
        if (d) d->navigationDrawerControllerDidEndPanAt(*self, to, left);
    };
    // A swipe right over the root opens the drawer; a swipe left over the drawer closes it.
    auto swipe = [pan](bool open) {
        return [pan, open](UISwipeGestureRecognizer& s) { pan(open, s.location(), s.location()); };
    };
    container()->addGestureRecognizer(
        std::make_shared<UISwipeGestureRecognizer>(UISwipeDirection::right, swipe(true)));
    overlay_->addGestureRecognizer(
        std::make_shared<UISwipeGestureRecognizer>(UISwipeDirection::left, swipe(false)));
    leftView_->addGestureRecognizer(
        std::make_shared<UISwipeGestureRecognizer>(UISwipeDirection::left, swipe(false)));
    // A drag from the screen's left edge opens the drawer; a mostly sideways drag to the left
    // over the open drawer or its overlay closes it. Other drags go to the views beneath.
    auto drag = [pan](bool open) {
        return [pan, open](UIPanGestureRecognizer& r) {
            const CGPoint from = r.location(), by = r.translation();
            pan(open, from, {from.x + by.x, from.y + by.y});
        };
    };
    auto edgePan = std::make_shared<UIScreenEdgePanGestureRecognizer>(drag(true));
    edgePan->shouldBegin = [weakSelf](UIPanGestureRecognizer&) {
        auto self = weakSelf.lock();
        return self && self->left_ && !self->opened_;
    };
    container()->addGestureRecognizer(edgePan);
    for (const auto& view : {overlay_, leftView_}) {
        auto closingPan = std::make_shared<UIPanGestureRecognizer>(drag(false));
        closingPan->shouldBegin = [](UIPanGestureRecognizer& recognizer) {
            const CGPoint by = recognizer.translation();
            return by.x < 0 && std::abs(by.x) > std::abs(by.y);
        };
        view->addGestureRecognizer(closingPan);
    }
    leftView_->accessibilityIdentifier = "navigationDrawerLeftView";
    leftView_->setHidden(true);
    v->addSubview(leftView_);
    if (left_) {
        addChild(left_);
        auto lv = left_->view();
        lv->autoresizingMask =
            UIViewAutoresizing::flexibleWidth | UIViewAutoresizing::flexibleHeight;
        leftView_->addSubview(lv);
    }
    if (right_) addChild(right_);
}

void NavigationDrawerController::prepare() {
    TransitionController::prepare();
}

void NavigationDrawerController::layoutChrome() {
    TransitionController::layoutChrome();
    CGRect b = view()->bounds();
    overlay_->setFrame(b);
    leftView_->setFrame({0, 0, std::min(leftViewWidth, b.width()), b.height()});
    if (left_ && left_->isViewLoaded()) left_->view()->setFrame(leftView_->bounds());
}

void NavigationDrawerController::toggleLeftView(CGFloat velocity) {
    if (opened_)
        closeLeftView(velocity);
    else
        openLeftView(velocity);
}

void NavigationDrawerController::openLeftView(CGFloat velocity) {
    (void)velocity;
    if (opened_ || !left_) return;
    view();
    auto keep = shared<NavigationDrawerController>();
    auto d = delegate.lock();
    if (d) d->navigationDrawerControllerWillOpen(*this, NavigationDrawerPosition::left);
    opened_ = true;
    overlay_->setHidden(false);
    leftView_->setHidden(false);
    if (d) d->navigationDrawerControllerDidOpen(*this, NavigationDrawerPosition::left);
}

void NavigationDrawerController::closeLeftView(CGFloat velocity) {
    (void)velocity;
    if (!opened_) return;
    auto keep = shared<NavigationDrawerController>();
    auto d = delegate.lock();
    if (d) d->navigationDrawerControllerWillClose(*this, NavigationDrawerPosition::left);
    opened_ = false;
    overlay_->setHidden(true);
    leftView_->setHidden(true);
    if (d) d->navigationDrawerControllerDidClose(*this, NavigationDrawerPosition::left);
}

TabBar::TabBar() {
    addSubview(line_);
}

void TabBar::setTabItems(std::vector<std::shared_ptr<TabItem>> items) {
    for (auto& item : items_)
        item->removeFromSuperview();
    items_ = std::move(items);
    for (auto& item : items_)
        insertSubview(item, subviews().size() - 1);
    setSelectedIndex(selected_);
    setNeedsLayout();
}

void TabBar::setSelectedIndex(int index) {
    selected_ = index;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        items_[i]->setSelected(static_cast<int>(i) == index);
    }
    setNeedsLayout();
}

void TabBar::layoutSubviews() {
    if (items_.empty()) {
        line_->setHidden(true);
        return;
    }
    CGFloat w = bounds().width() / items_.size();
    for (std::size_t i = 0; i < items_.size(); ++i) {
        items_[i]->setFrame({w * i, 0, w, bounds().height()});
    }
    line_->setHidden(selected_ < 0 || selected_ >= static_cast<int>(items_.size()));
    CGFloat y = lineAlignment == 0 ? 0 : bounds().height() - lineHeight;
    line_->setFrame({w * std::max(0, selected_), y, w, lineHeight});
}

TabsController::TabsController(std::vector<std::shared_ptr<UIViewController>> viewControllers,
                               int selectedIndex)
    : TransitionController(selectedIndex >= 0 &&
                                   selectedIndex < static_cast<int>(viewControllers.size())
                               ? viewControllers[selectedIndex]
                               : nullptr),
      pages_(std::move(viewControllers)),
      selected_(rootViewController() ? selectedIndex : -1) {}

void TabsController::prepare() {
    TransitionController::prepare();
    std::vector<std::shared_ptr<TabItem>> items;
    std::weak_ptr<TabsController> weakSelf = shared<TabsController>();
    for (std::size_t i = 0; i < pages_.size(); ++i) {
        auto& page = pages_[i];
        if (!page->parent()) addChild(page);
        auto item = tabItem(*page);
        item->removeAllTargets();
        item->addTarget(UIControlEvents::touchUpInside, [weakSelf, i](UIControl&) {
            if (auto self = weakSelf.lock()) self->select(static_cast<int>(i));
        });
        items.push_back(item);
    }
    tabBar_->setTabItems(std::move(items));
    tabBar_->setSelectedIndex(selected_);
    view()->addSubview(tabBar_);
}

void TabsController::select(int index) {
    if (index < 0 || index >= static_cast<int>(pages_.size()) || index == selected_) return;
    auto keep = shared<TabsController>();
    auto& page = pages_[index];
    auto d = delegate.lock();
    if (d && !d->tabsControllerShouldSelect(*this, *page)) return;
    if (d) d->tabsControllerWillSelect(*this, *page);
    auto from = rootViewController();
    // Pages stay children while not shown; only the view leaves the tree.
    transition(page);
    if (from && !from->parent()) addChild(from);
    selected_ = index;
    tabBar_->setSelectedIndex(index);
    if (d) d->tabsControllerDidSelect(*this, *page);
}

void TabsController::layoutChrome() {
    CGRect b = view()->bounds();
    CGFloat h = tabBarAlignment == TabBarAlignment::hidden ? 0 : tabBarHeight;
    tabBar_->setHidden(h == 0);
    if (tabBarAlignment == TabBarAlignment::bottom) {
        tabBar_->setFrame({0, b.height() - h, b.width(), h});
        container()->setFrame({0, 0, b.width(), b.height() - h});
    } else {
        tabBar_->setFrame({0, 0, b.width(), h});
        container()->setFrame({0, h, b.width(), std::max(0.0, b.height() - h)});
    }
}

std::shared_ptr<ToolbarController> toolbarController(UIViewController& vc) {
    return vc.ancestor<ToolbarController>();
}

std::shared_ptr<NavigationDrawerController> navigationDrawerController(UIViewController& vc) {
    return vc.ancestor<NavigationDrawerController>();
}

std::shared_ptr<TabsController> tabsController(UIViewController& vc) {
    return vc.ancestor<TabsController>();
}

std::shared_ptr<TabItem> tabItem(UIViewController& vc) {
    auto item = std::static_pointer_cast<TabItem>(vc.associatedObject(&kTabItemKey));
    if (!item) {
        item = std::make_shared<TabItem>();
        item->setTitle(vc.title);
        item->setTitleColor(UIColor::systemGray());
        vc.setAssociatedObject(&kTabItemKey, item);
    }
    return item;
}

}  // namespace platform
