#include "platform/ui/UIWindow.h"

#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/UIApplication.h"
#include "platform/ui/UIViewController.h"

namespace platform {

const UIScreen& UIScreen::main() {
    static const UIScreen screen;
    return screen;
}

const UIDevice& UIDevice::current() {
    static const UIDevice device;
    return device;
}

void UIWindowScene::addWindow(std::shared_ptr<UIWindow> window) {
    if (!window) return;
    for (auto& w : windows_) {
        if (w == window) return;
    }
    window->scene_ = std::static_pointer_cast<UIWindowScene>(shared_from_this());
    windows_.push_back(std::move(window));
}

UIWindow::UIWindow() : UIWindow(UIScreen::main().bounds) {}

UIWindow::UIWindow(CGRect frame) : UIView(frame) {
    setHidden(true);
}

UIWindow::UIWindow(const std::shared_ptr<UIWindowScene>& scene) : UIWindow() {
    scene_ = scene;
}

void UIWindow::setRootViewController(std::shared_ptr<UIViewController> vc) {
    if (vc == root_) return;
    auto old = root_;
    bool visible = !isHidden();
    if (visible && old) old->beginAppearanceTransition(false, false);
    if (old && old->isViewLoaded() && old->view()->superview().get() == this) {
        old->view()->removeFromSuperview();
    }
    root_ = vc;
    if (vc) {
        auto v = vc->view();
        v->setFrame(bounds());
        insertSubview(v, 0);
        if (visible) vc->beginAppearanceTransition(true, false);
    }
    if (visible && old) old->endAppearanceTransition();
    if (visible && vc) vc->endAppearanceTransition();
}

void UIWindow::makeKeyAndVisible() {
    auto self = shared<UIWindow>();
    auto& app = UIApplication::shared();
    if (!scene_.lock()) {
        const auto& scenes = app.connectedScenes();
        if (!scenes.empty()) {
            if (auto ws = std::dynamic_pointer_cast<UIWindowScene>(scenes.front())) {
                ws->addWindow(self);
                scene_ = ws;
            }
        }
    } else if (auto ws = scene_.lock()) {
        ws->addWindow(self);
    }
    const auto previousKey = app.keyWindow();
    app.setKeyWindow(self);
    if (previousKey && previousKey != self) {
        NotificationCenter::defaultCenter().postNotificationName(UIWindowDidResignKeyNotification,
                                                                 previousKey.get());
    }
    if (isHidden()) {
        setHidden(false);
        if (root_) {
            root_->beginAppearanceTransition(true, false);
            root_->endAppearanceTransition();
        }
    }
}

bool UIWindow::isKeyWindow() const {
    return UIApplication::shared().keyWindow().get() == this;
}

}  // namespace platform
