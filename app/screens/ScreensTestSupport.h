#pragma once

// The calculate and result pages in a toolbar over a two-page tabs controller, on a fresh home
// with the app's resources, a manual clock and recorded analytics.

#include <memory>
#include <string>

#include "app/screens/CalculateViewController.h"
#include "app/screens/SolutionViewController.h"
#include "app/services/ServicesTestSupport.h"
#include "platform/kits/Material.h"
#include "platform/ui/UIStoryboard.h"

namespace app::testing {

class PagesTest : public ServicesTest {
  protected:
    PagesTest() {
        registerCalculateInterface();
        registerSolutionInterface();
        defaults().setBool(true, "isRatingAlreadyDone");
    }

    // Builds the chain (after the test prepared the store) and shows it.
    void showPages() {
        calc_ = platform::UIStoryboard::instantiate<CalculateViewController>(
            kMainStoryboard, "CalculateViewController");
        result_ = platform::UIStoryboard::instantiate<SolutionViewController>(
            kSolutionStoryboard, "SolutionViewController");
        tabs_ = std::make_shared<platform::TabsController>(
            std::vector<std::shared_ptr<platform::UIViewController>>{calc_, result_}, 0);
        show(std::make_shared<platform::ToolbarController>(tabs_));
    }

    std::shared_ptr<platform::DTTextField> field(const std::string& id) {
        return std::dynamic_pointer_cast<platform::DTTextField>(
            driver_.find(platform::ViewQuery::byId(id)));
    }

    // Taps the keypad key titled `title` (the field texts may repeat a title, so the key is
    // found in the keypad).
    void key(const std::string& title) {
        for (const auto& row : calc_->keypadStackView->arrangedSubviews()) {
            for (const auto& view :
                 std::static_pointer_cast<platform::UIStackView>(row)->arrangedSubviews()) {
                const auto button = std::dynamic_pointer_cast<platform::UIButton>(view);
                if (!button || button->title() != title) continue;
                const auto point = button->convert(button->bounds().center(), nullptr);
                ASSERT_TRUE(driver_.tapAt(point).ok()) << title;
                return;
            }
        }
        FAIL() << "no key " << title;
    }

    // Focuses the field and types each key of `keys` (UTF-8 characters).
    void enter(const std::string& id, const std::vector<std::string>& keys) {
        ASSERT_TRUE(driver_.tap(platform::ViewQuery::byId(id)).ok()) << id;
        for (const auto& k : keys)
            key(k);
    }

    void selectRule(int rule) {
        ASSERT_TRUE(driver_.tap(platform::ViewQuery::byId("segmentedControl").segment(rule)).ok());
    }

    void tapCalculate() {
        ASSERT_TRUE(driver_.tap(platform::ViewQuery::byId("calculateButton")).ok());
    }

    std::shared_ptr<CalculateViewController> calc_;
    std::shared_ptr<SolutionViewController> result_;
    std::shared_ptr<platform::TabsController> tabs_;
};

}  // namespace app::testing
