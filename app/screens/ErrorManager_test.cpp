#include <gtest/gtest.h>

#include "app/core/Strings.h"
#include "app/screens/ErrorManager.h"
#include "app/screens/ScreensTestSupport.h"
#include "app/services/QuroColor.h"
#include "app/services/Texts.h"
#include "platform/ui/UIAlertController.h"

namespace app {
namespace {

class ErrorManagerTest : public testing::PagesTest {
  protected:
    ErrorManagerTest() { showPages(); }
    bool showsText(const std::string& text) {
        return driver_.screen().find("text=\"" + text + "\"") != std::string::npos;
    }
};

TEST_F(ErrorManagerTest, MessagesFollowTheirKeysAndArgumentCounts) {
    auto& errors = ErrorManager::shared();
    errors.showInputErrorAlert("mustBeGreatherThanX\u00a75");
    EXPECT_TRUE(showsText(replaceAll(localized("mustBeGreatherThanX"), "%0", "5")));
    errors.showInputErrorAlert("mustBeBiggerThanXAndLessThanY\u00a71\u00a79");
    EXPECT_TRUE(showsText(
        replaceAll(replaceAll(localized("mustBeBiggerThanXAndLessThanY"), "%0", "1"), "%1", "9")));
    const auto before = driver_.screen();
    errors.showInputErrorAlert("mustBeLessThanX");  // an argument is missing: nothing shown
    errors.showInputErrorAlert("\u00a7");
    EXPECT_EQ(driver_.screen(), before);
    errors.showInputErrorAlert("oppositionError");
    const auto alert = std::dynamic_pointer_cast<platform::UIAlertController>(
        window_->rootViewController()->presentedViewController());
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->alertTitle(), localized("error"));
    EXPECT_EQ(alert->message(), localized("oppositionError"));
}

TEST_F(ErrorManagerTest, FilledFieldsDisableTheEmptyOnesOnceEnoughAreFilled) {
    auto& errors = ErrorManager::shared();
    const auto& fields = calc_->allFields;  // a, b (hidden by rule 0), u, v
    errors.requiredAmountOfFields = 0;
    errors.updateFieldStates();
    for (const auto& f : fields)
        EXPECT_TRUE(f->isEnabled());
    errors.requiredAmountOfFields = 2;
    fields[0]->setText("2");
    errors.updateFieldStates();
    EXPECT_TRUE(fields[2]->isEnabled());
    fields[2]->setText("4");
    errors.updateFieldStates();
    EXPECT_FALSE(fields[3]->isEnabled());
    EXPECT_EQ(fields[3]->boxLayer()->backgroundColor, QuroColor::disabledFieldBackground());
    EXPECT_TRUE(fields[1]->isEnabled());  // hidden: neither counted nor touched
    fields[2]->setText("");
    errors.updateFieldStates();
    EXPECT_TRUE(fields[3]->isEnabled());
    EXPECT_EQ(fields[3]->boxLayer()->backgroundColor, QuroColor::enabledFieldBackground());
}

}  // namespace
}  // namespace app
