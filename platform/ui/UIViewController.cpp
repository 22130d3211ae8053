#include "platform/ui/UIViewController.h"

#include <algorithm>

#include "platform/foundation/Log.h"
#include "platform/foundation/NoDestructor.h"
#include "platform/ui/UIWindow.h"

namespace platform {

std::shared_ptr<UIView> UIViewController::view() {
    if (!view_) {
        loadView();
        if (!view_) setView(std::make_shared<UIView>(UIScreen::main().bounds));
        viewDidLoad();
    }
    return view_;
}

void UIViewController::loadView() {
    std::shared_ptr<UIView> v;
    if (viewLoader_) v = viewLoader_(*this);
    setView(v ? v : std::make_shared<UIView>(UIScreen::main().bounds));
}

void UIViewController::setView(std::shared_ptr<UIView> view) {
    if (view_) view_->setOwningViewController({});
    view_ = std::move(view);
    if (view_) view_->setOwningViewController(weak_from_this());
}

void UIViewController::addChild(std::shared_ptr<UIViewController> child) {
    if (!child || child.get() == this) return;
    if (child->parent().get() == this) return;
    child->removeFromParent();
    child->parent_ = shared<UIViewController>();
    children_.push_back(std::move(child));
}

void UIViewController::removeFromParent() {
    auto p = parent_.lock();
    parent_.reset();
    if (!p) return;
    auto self = shared<UIViewController>();
    auto& list = p->children_;
    list.erase(std::remove(list.begin(), list.end(), self), list.end());
}

std::shared_ptr<UIResponder> UIViewController::nextResponder() const {
    if (view_) {
        if (auto s = view_->superview()) return s;
    }
    return parent();
}

std::vector<std::shared_ptr<UIViewController>> UIViewController::appearanceChildren() {
    std::vector<std::shared_ptr<UIViewController>> result;
    if (!view_) return result;
    for (auto& child : children_) {
        if (child->isViewLoaded() && child->view_->isDescendant(view_.get()))
            result.push_back(child);
    }
    return result;
}

void UIViewController::beginAppearanceTransition(bool appearing, bool animated) {
    auto keep = shared<UIViewController>();
    if (appearing) {
        if (appearance_ == Appearance::appeared || appearance_ == Appearance::appearing) return;
        appearance_ = Appearance::appearing;
        view();
        viewWillAppear(animated);
    } else {
        if (appearance_ == Appearance::disappeared || appearance_ == Appearance::disappearing) {
            return;
        }
        appearance_ = Appearance::disappearing;
        viewWillDisappear(animated);
    }
    for (auto& child : appearanceChildren())
        child->beginAppearanceTransition(appearing, animated);
}

namespace {

UIViewController::AppearanceObserver& appearanceObserver() {
    static NoDestructor<UIViewController::AppearanceObserver> observer;
    return observer.get();
}

}  // namespace

void UIViewController::setAppearanceObserver(AppearanceObserver observer) {
    appearanceObserver() = std::move(observer);
}

void UIViewController::endAppearanceTransition() {
    auto keep = shared<UIViewController>();
    // A copy: the observer may replace itself while it runs.
    const auto observer = appearanceObserver();
    if (appearance_ == Appearance::appearing) {
        appearance_ = Appearance::appeared;
        viewDidAppear(false);
        if (observer) observer(*this, true);
    } else if (appearance_ == Appearance::disappearing) {
        appearance_ = Appearance::disappeared;
        viewDidDisappear(false);
        if (observer) observer(*this, false);
    }
    for (auto& child : std::vector(children_))
        child->endAppearanceTransition();
}

void UIViewController::transitionChild(const std::shared_ptr<UIViewController>& from,
                                       const std::shared_ptr<UIViewController>& to,
                                       const std::function<void()>& swap) {
    bool visible = appearance_ == Appearance::appeared || appearance_ == Appearance::appearing;
    if (visible && from) from->beginAppearanceTransition(false, false);
    if (swap) swap();
    if (visible && to) to->beginAppearanceTransition(true, false);
    if (visible && from) from->endAppearanceTransition();
    if (visible && to) to->endAppearanceTransition();
}

std::shared_ptr<UIViewController> UIViewController::root() {
    auto vc = shared<UIViewController>();
    while (auto p = vc->parent())
        vc = p;
    return vc;
}

std::shared_ptr<UIViewController> UIViewController::presentedViewController() const {
    if (auto p = parent()) return p->root()->presented_;
    return presented_;
}

std::shared_ptr<UIViewController> UIViewController::presentingViewController() const {
    if (auto p = parent()) return p->root()->presenting_.lock();
    return presenting_.lock();
}

std::shared_ptr<UIPopoverPresentationController> UIViewController::popoverPresentationController() {
    if (modalPresentationStyle != UIModalPresentationStyle::popover) return nullptr;
    if (!popover_) popover_ = std::make_shared<UIPopoverPresentationController>();
    return popover_;
}

CGRect UIViewController::presentedFrame(const UIWindow& window,
                                        UIModalPresentationStyle style) const {
    CGRect b = window.bounds();
    switch (style) {
        case UIModalPresentationStyle::fullScreen:
        case UIModalPresentationStyle::overFullScreen:
        case UIModalPresentationStyle::currentContext:
        case UIModalPresentationStyle::overCurrentContext:
        case UIModalPresentationStyle::custom:
        case UIModalPresentationStyle::none:
            return b;
        case UIModalPresentationStyle::popover: {
            CGSize s = preferredContentSize;
            if (s.width <= 0 || s.height <= 0) s = {320, 480};
            return {(b.width() - s.width) / 2, (b.height() - s.height) / 2, s.width, s.height};
        }
        default: {
            CGFloat top = window.safeAreaInsets().top + 10;
            return {0, top, b.width(), b.height() - top};
        }
    }
}

namespace {

constexpr CGFloat kPopoverCornerRadius = 13;

class ShapeMaskView : public UIView {
  public:
    explicit ShapeMaskView(CGRect frame) : UIView(frame, std::make_shared<CAShapeLayer>()) {}
};

}  // namespace

std::shared_ptr<UIView> makePopoverFrame(CGRect frame, const std::shared_ptr<UIView>& content) {
    auto container = std::make_shared<UIView>(frame);
    const CGRect inside = container->bounds();
    auto mask = std::make_shared<ShapeMaskView>(inside);
    std::static_pointer_cast<CAShapeLayer>(mask->layer())->path =
        UIBezierPath::roundedRect(inside, kPopoverCornerRadius);
    container->setMaskView(std::move(mask));
    auto wrapper = std::make_shared<UIView>(inside);
    content->setFrame(inside);
    wrapper->addSubview(content);
    container->addSubview(std::move(wrapper));
    return container;
}

void UIViewController::present(std::shared_ptr<UIViewController> vc, bool animated,
                               std::function<void()> completion) {
    (void)animated;
    auto context = root();
    UIWindow* window = context->isViewLoaded() ? context->view_->window() : nullptr;
    if (!vc || vc == context || vc->parent() || vc->presenting_.lock()) {
        systemLog("UIViewController: cannot present " +
                  (vc ? vc->className() : std::string("null")));
        return;
    }
    if (context->presented_) {
        systemLog("UIViewController: " + context->className() + " already presents " +
                  context->presented_->className() + "; not presenting " + vc->className());
        return;
    }
    if (!window) {
        systemLog("UIViewController: " + context->className() +
                  " is not in a window; not presenting " + vc->className());
        return;
    }
    context->presented_ = vc;
    vc->presenting_ = context;
    auto style = vc->modalPresentationStyle;
    if (auto popover = vc->popoverPresentationController()) {
        auto delegate = popover->delegate.lock();
        auto adapted =
            delegate ? delegate->adaptivePresentationStyle(*popover, UITraitCollection::current())
                     : UIModalPresentationStyle::fullScreen;
        if (adapted != UIModalPresentationStyle::none) style = adapted;
    }
    vc->presentedStyle_ = style;
    bool hides = style == UIModalPresentationStyle::fullScreen;
    auto presentedView = vc->view();
    const CGRect frame = vc->presentedFrame(*window, style);
    std::shared_ptr<UIView> shown = presentedView;
    if (style == UIModalPresentationStyle::popover) {
        shown = makePopoverFrame(frame, presentedView);
        vc->popoverFrame_ = shown;
    } else {
        presentedView->setFrame(frame);
    }
    if (hides) context->beginAppearanceTransition(false, animated);
    vc->beginAppearanceTransition(true, animated);
    window->addSubview(shown);
    if (hides) {
        auto parentView = context->view_->superview();
        const auto& siblings = parentView->subviews();
        context->hiddenIndex_ = static_cast<std::size_t>(
            std::find(siblings.begin(), siblings.end(), context->view_) - siblings.begin());
        context->hiddenSuperview_ = parentView;
        context->view_->removeFromSuperview();
    }
    if (hides) context->endAppearanceTransition();
    vc->endAppearanceTransition();
    if (completion) completion();
}

void UIViewController::dismiss(bool animated, std::function<void()> completion) {
    (void)animated;
    auto context = root();
    if (context->presented_) {
        context->dismissPresented(std::move(completion));
    } else if (auto presenter = context->presenting_.lock()) {
        presenter->dismissPresented(std::move(completion));
    } else if (completion) {
        completion();
    }
}

void UIViewController::dismissPresented(std::function<void()> completion) {
    auto vc = presented_;
    if (!vc) return;
    if (vc->presented_) vc->dismissPresented(nullptr);
    bool hides = vc->presentedStyle_ == UIModalPresentationStyle::fullScreen;
    vc->beginAppearanceTransition(false, false);
    if (hides) {
        if (auto parentView = hiddenSuperview_.lock()) {
            parentView->insertSubview(view_, hiddenIndex_);
        }
        hiddenSuperview_.reset();
        beginAppearanceTransition(true, false);
    }
    if (auto frame = vc->popoverFrame_.lock()) frame->removeFromSuperview();
    vc->popoverFrame_.reset();
    if (vc->isViewLoaded()) vc->view_->removeFromSuperview();
    presented_.reset();
    vc->presenting_.reset();
    vc->endAppearanceTransition();
    if (hides) endAppearanceTransition();
    if (completion) completion();
}

}  // namespace platform
