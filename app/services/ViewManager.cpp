#include "app/services/ViewManager.h"

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <optional>
#include <typeinfo>

#include "app/services/QuroColor.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/ui/UIApplication.h"
#include "platform/ui/UIControl.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIScrollView.h"
#include "platform/ui/UIViewController.h"

namespace app {

namespace {

using platform::UIView;

std::shared_ptr<platform::UIWindowScene> firstWindowScene() {
    const auto& scenes = platform::UIApplication::shared().connectedScenes();
    if (scenes.empty()) return nullptr;
    auto scene = std::dynamic_pointer_cast<platform::UIWindowScene>(scenes.front());
    if (!scene || scene->windows().empty()) return nullptr;
    return scene;
}

std::shared_ptr<UIView> rootView() {
    const auto window = ViewManager::keyWindow();
    if (!window) return nullptr;
    const auto root = window->rootViewController();
    return root ? root->view() : nullptr;
}

// rootViewWidth's kept value.
struct RootWidth {
    std::mutex mutex;
    std::optional<double> width;
};

}  // namespace

std::shared_ptr<platform::UIWindow> ViewManager::keyWindow() {
    const auto scene = firstWindowScene();
    return scene ? scene->windows().front() : nullptr;
}

void ViewManager::showLoadingOverlay() {
    const auto window = keyWindow();
    if (!window || window->viewWithTag(kLoadingOverlayTag)) return;
    auto overlay = std::make_shared<UIView>(window->frame());
    overlay->tag = kLoadingOverlayTag;
    overlay->setBackgroundColor(platform::UIColor::white(0.0, 0.7));
    auto indicator = std::make_shared<platform::UIActivityIndicatorView>(
        platform::UIActivityIndicatorView::Style::large);
    indicator->setCenter(overlay->frame().center());
    indicator->color = isDarkMode() ? QuroColor::indicatorLight() : QuroColor::groupedBackground();
    indicator->startAnimating();
    overlay->addSubview(indicator);
    // The overlay covers the screen, not what is presented over it: it is asked for on the main
    // queue, so it arrives after an alert shown at the same time, whose buttons must stay within
    // reach. It lies just above the root's view; on top when that is not in the window.
    const auto& subviews = window->subviews();
    std::size_t index = subviews.size();
    if (const auto root = window->rootViewController(); root && root->isViewLoaded()) {
        const auto at = std::find(subviews.begin(), subviews.end(), root->view());
        if (at != subviews.end()) index = static_cast<std::size_t>(at - subviews.begin()) + 1;
    }
    window->insertSubview(overlay, index);
}

void ViewManager::removeLoadingOverlay() {
    const auto window = keyWindow();
    if (!window) return;
    if (const auto overlay = window->viewWithTag(kLoadingOverlayTag))
        overlay->removeFromSuperview();
}

void ViewManager::showLoadingOverlayOnMainQueue() {
    platform::mainQueue().async([] { showLoadingOverlay(); });
}

void ViewManager::removeLoadingOverlayOnMainQueue() {
    platform::mainQueue().async([] { removeLoadingOverlay(); });
}

void ViewManager::showToast(const std::string& text) {
    const auto root = rootView();
    if (!root) return;
    const double w = root->frame().width();
    const double h = root->frame().height();
    auto label = std::make_shared<platform::UILabel>(
        platform::CGRect{w * 0.5 - w * 0.9 * 0.5, h - 120, w * 0.9, 40});
    label->setBackgroundColor(QuroColor::label().withAlphaComponent(0.8));
    label->textColor = QuroColor::groupedBackground();
    label->font = platform::UIFont{"Avenir-Book", 14};
    label->textAlignment = platform::NSTextAlignment::center;
    label->setText(text);
    label->setAlpha(1.0);
    label->layer()->cornerRadius = 10;
    label->setClipsToBounds(true);
    label->numberOfLines = 2;
    root->addSubview(label);
    std::weak_ptr<platform::UILabel> weak = label;
    platform::mainQueue().after(kToastVisibleSeconds, [weak] {
        const auto toast = weak.lock();
        if (!toast) return;
        UIView::animate(
            kToastFadeSeconds, 0, platform::UIViewAnimationOptions::curveEaseOut,
            [toast] { toast->setAlpha(0.0); },
            [weak](bool) {
                if (const auto t = weak.lock()) t->removeFromSuperview();
            });
    });
}

void ViewManager::fitSegmentImages(UIView& view) {
    const auto subviews = view.subviews();
    for (const auto& subview : subviews) {
        const UIView& current = *subview;
        const auto& type = typeid(current);
        if ((type == typeid(UIView) || type == typeid(platform::UIStackView)) &&
            !subview->subviews().empty()) {
            fitSegmentImages(*subview);
        } else if (type == typeid(platform::UISegmentedControl)) {
            for (const auto& segment : subview->subviews()) {
                for (const auto& content : segment->subviews()) {
                    if (dynamic_cast<platform::UIImageView*>(content.get()))
                        content->contentMode = platform::UIViewContentMode::scaleAspectFit;
                }
            }
        }
    }
}

double windowBottomSafeAreaInset() {
    const auto scene = firstWindowScene();
    return scene ? scene->windows().back()->safeAreaInsets().bottom : 0;
}

double rootViewWidth() {
    auto& kept = platform::SharedInstance<RootWidth>::get();
    {
        std::lock_guard lock(kept.mutex);
        if (kept.width) return *kept.width;
    }
    // Measured outside the lock: loading a root view may run code that asks for the width.
    const auto root = rootView();
    const double width = root ? root->frame().width() : 0;
    std::lock_guard lock(kept.mutex);
    if (kept.width) return *kept.width;
    // Before the window has a sized root there is nothing worth keeping.
    if (width > 0) kept.width = width;
    return width;
}

}  // namespace app
