#pragma once

// Shared set-up of the services' tests: a fresh data root and clean shared instances, a manual
// clock, a main bundle made of the app's resources with Info.plist values of the test's choice,
// and a launched application with a key window.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/services/AppAnalytics.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/UIApplication.h"
#include "platform/ui/UIDriver.h"
#include "platform/ui/UIViewController.h"
#include "platform/ui/UIWindow.h"
#include "testkit/ManualClock.h"
#include "testkit/TempHome.h"

namespace app::testing {

class ServicesTest : public ::testing::Test {
  protected:
    ServicesTest() { useBundle({}); }
    ~ServicesTest() override { window_.reset(); }

    // The app's resources with Info.plist changed by `info` (a null value removes a key).
    void useBundle(const platform::Dictionary& info) {
        const std::filesystem::path source = TESSALINE_RESOURCE_DIR;
        const auto dir = home_.path() / ("bundle" + std::to_string(++bundles_));
        std::filesystem::create_directories(dir);
        for (const char* file : {"Localizable.strings", "RemoteConfigDefaults.plist"})
            std::filesystem::copy_file(source / file, dir / file);
        auto plist = platform::readPropertyListFile(source / "Info.plist").value();
        auto& dict = *plist.getDictionary();
        for (const auto& [key, value] : info) {
            if (value.isNull()) {
                dict.erase(key);
            } else {
                dict[key] = value;
            }
        }
        platform::writePropertyListFile(dir / "Info.plist", plist,
                                        platform::PropertyListFormat::XML);
        platform::Bundle::setMainBundleDirectory(dir);
    }

    std::shared_ptr<platform::UIWindow> show(std::shared_ptr<platform::UIViewController> root) {
        platform::UIApplication::shared().launch(nullptr);
        window_ = std::make_shared<platform::UIWindow>();
        window_->setRootViewController(std::move(root));
        window_->makeKeyAndVisible();
        window_->layoutIfNeeded();
        return window_;
    }

    // Drains the main queue until `done` holds, for answers that come over the network. False
    // only when it never holds: the guard is no time an answer may take.
    static bool pumpUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            platform::runUntilIdle();
            std::this_thread::yield();
        }
        return true;
    }

    static platform::UserDefaults& defaults() {
        return platform::UserDefaults::standardUserDefaults();
    }

    testkit::TempHome home_;
    testkit::ScopedManualClock clock_;
    AppAnalytics::Recorder analytics_;
    platform::UIDriver driver_;
    std::shared_ptr<platform::UIWindow> window_;
    int bundles_ = 0;
};

}  // namespace app::testing
