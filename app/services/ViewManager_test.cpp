#include "app/services/ViewManager.h"

#include <gtest/gtest.h>

#include "app/services/QuroColor.h"
#include "app/services/ServicesTestSupport.h"
#include "platform/ui/ScreenDump.h"
#include "platform/ui/UIControl.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIScrollView.h"

namespace app {
namespace {

using platform::UIView;

class ViewManagerTest : public testing::ServicesTest {};

int overlayCount(const platform::UIWindow& window) {
    int count = 0;
    for (const auto& v : window.subviews())
        count += v->tag == kLoadingOverlayTag;
    return count;
}

TEST_F(ViewManagerTest, OneOverlayHoweverOftenAskedFor) {
    const auto window = show(std::make_shared<platform::UIViewController>());
    ViewManager::removeLoadingOverlay();  // none shown: nothing happens
    ViewManager::showLoadingOverlayOnMainQueue();
    ViewManager::showLoadingOverlayOnMainQueue();
    EXPECT_EQ(overlayCount(*window), 0);  // not before the main queue runs
    platform::runUntilIdle();
    ASSERT_EQ(overlayCount(*window), 1);
    const auto overlay = window->viewWithTag(kLoadingOverlayTag);
    EXPECT_EQ(platform::dumpLine(*overlay), "UIView 0,0,390,844 tag=8989 bg=#000000b3");
    auto* indicator =
        dynamic_cast<platform::UIActivityIndicatorView*>(overlay->subviews().at(0).get());
    ASSERT_TRUE(indicator);
    EXPECT_TRUE(indicator->isAnimating());
    EXPECT_EQ(indicator->center().x, 195);
    EXPECT_EQ(indicator->color, QuroColor::groupedBackground());
    ViewManager::removeLoadingOverlayOnMainQueue();
    platform::runUntilIdle();
    EXPECT_EQ(overlayCount(*window), 0);
}

TEST_F(ViewManagerTest, ToastSitsAboveTheBottomAndGoesAfterFiveSeconds) {
    const auto root = std::make_shared<platform::UIViewController>();
    show(root);
    root->view()->setFrame({0, 0, 400, 800});
    ViewManager::showToast("Please fill in all required values.");
    ASSERT_EQ(root->view()->subviews().size(), 1u);
    const auto toast = root->view()->subviews().front();
    EXPECT_EQ(platform::dumpLine(*toast),
              "UILabel 20,680,360,40 text=\"Please fill in all required values.\" bg=#000000cc "
              "color=#f2f2f7");
    clock_.advance(2.9);
    platform::runUntilIdle();
    EXPECT_EQ(toast->alpha(), 1.0);
    clock_.advance(0.1);
    platform::runUntilIdle();
    EXPECT_EQ(toast->alpha(), 0.0);
    EXPECT_TRUE(toast->superview());
    clock_.advance(2.0);
    platform::runUntilIdle();
    EXPECT_FALSE(toast->superview());
}

TEST_F(ViewManagerTest, WithoutAWindowNothingIsShownOrKept) {
    EXPECT_FALSE(ViewManager::keyWindow());
    EXPECT_EQ(windowBottomSafeAreaInset(), 0);
    ViewManager::showToast("text");
    ViewManager::showLoadingOverlay();
    EXPECT_EQ(rootViewWidth(), 0);  // not kept
    show(std::make_shared<platform::UIViewController>());
    EXPECT_EQ(rootViewWidth(), 390);
    EXPECT_EQ(windowBottomSafeAreaInset(), 34);
    window_->rootViewController()->view()->setFrame({0, 0, 500, 500});
    EXPECT_EQ(rootViewWidth(), 390);  // kept from the first read
}

TEST_F(ViewManagerTest, SegmentImagesFitOnlyThroughPlainContainers) {
    const auto makeControl = [] {
        auto control = std::make_shared<platform::UISegmentedControl>();
        control->insertSegment(platform::UIImage::named("rule0"), 0);
        return control;
    };
    const auto imageMode = [](const platform::UISegmentedControl& c) {
        return c.subviews().at(0)->subviews().at(0)->contentMode;
    };
    auto root = std::make_shared<UIView>();
    auto plain = std::make_shared<UIView>();
    auto stack = std::make_shared<platform::UIStackView>();
    auto reached = makeControl();
    stack->addSubview(reached);
    plain->addSubview(stack);
    class Custom : public UIView {};
    auto custom = std::make_shared<Custom>();
    auto hidden = makeControl();
    custom->addSubview(hidden);
    root->addSubview(plain);
    root->addSubview(custom);
    ViewManager::fitSegmentImages(*root);
    EXPECT_EQ(imageMode(*reached), platform::UIViewContentMode::scaleAspectFit);
    EXPECT_EQ(imageMode(*hidden), platform::UIViewContentMode::scaleToFill);
}

}  // namespace
}  // namespace app
