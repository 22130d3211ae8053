#pragma once
// Test support for UI tests: a clean process state, a manual clock, and a launched application
// with a key window showing a given root controller.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/SharedInstance.h"
#include "platform/ui/UIApplication.h"
#include "platform/ui/UIViewController.h"
#include "platform/ui/UIWindow.h"
#include "testkit/ManualClock.h"

namespace platform::testing {

using Events = std::vector<std::string>;

// Records its appearance callbacks as "<name> willAppear" and so on.
class AppearanceRecorder : public UIViewController {
  public:
    AppearanceRecorder(std::string name, Events& events) : name_(std::move(name)), events_(events) {
        title = name_;
    }
    void viewDidLoad() override { events_.push_back(name_ + " load"); }
    void viewWillAppear(bool) override { events_.push_back(name_ + " willAppear"); }
    void viewDidAppear(bool) override { events_.push_back(name_ + " didAppear"); }
    void viewWillDisappear(bool) override { events_.push_back(name_ + " willDisappear"); }
    void viewDidDisappear(bool) override { events_.push_back(name_ + " didDisappear"); }

  private:
    std::string name_;
    Events& events_;
};

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
