#pragma once
// Test support for UI tests: a clean process state, a manual clock, and a launched application
// with a key window showing a given root controller.
#include <gtest/gtest.h>

#include <memory>

#include "platform/foundation/SharedInstance.h"
#include "platform/ui/UIApplication.h"
#include "platform/ui/UIViewController.h"
#include "platform/ui/UIWindow.h"
#include "testkit/ManualClock.h"

namespace platform::testing {

class UITest : public ::testing::Test {
  protected:
    UITest() { resetSharedInstances(); }
    ~UITest() override {
        window_.reset();
        resetSharedInstances();
    }
    // Launches the application and shows `root` in a new key window.
    std::shared_ptr<UIWindow> show(std::shared_ptr<UIViewController> root) {
        UIApplication::shared().launch(nullptr);
        window_ = std::make_shared<UIWindow>();
        window_->setRootViewController(std::move(root));
        window_->makeKeyAndVisible();
        window_->layoutIfNeeded();
        return window_;
    }

    testkit::ScopedManualClock clock_;
    std::shared_ptr<UIWindow> window_;
};

}  // namespace platform::testing
