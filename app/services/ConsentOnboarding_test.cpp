#include <gtest/gtest.h>

#include "app/services/DsgvoManager.h"
#include "app/services/OnboardingManager.h"
#include "app/services/QuroColor.h"
#include "app/services/ServicesTestSupport.h"
#include "platform/ui/UIAlertController.h"

namespace app {
namespace {

using platform::ViewQuery;

class ConsentTest : public testing::ServicesTest {
  protected:
    std::shared_ptr<platform::UIAlertController> presentedAlert() {
        return std::dynamic_pointer_cast<platform::UIAlertController>(
            window_->rootViewController()->presentedViewController());
    }
};

TEST_F(ConsentTest, GeneralNoticeOfTheLiteEditionIsAcceptedOnly) {
    show(std::make_shared<platform::UIViewController>());
    int completions = 0;
    DsgvoManager::showPrivacyAlertOnMainQueue(window_->rootViewController(),
                                              [&] { ++completions; });
    EXPECT_FALSE(presentedAlert());  // scheduled, not shown at once
    platform::runUntilIdle();
    const auto alert = presentedAlert();
    ASSERT_TRUE(alert);
    const auto& bundle = platform::Bundle::mainBundle();
    EXPECT_EQ(alert->alertTitle(), bundle.localizedString("dsgvoTitleLite"));
    EXPECT_EQ(alert->message(), bundle.localizedString("dsgvoTextLite"));
    ASSERT_EQ(alert->actions().size(), 1u);
    // The dump shows the whole text in a label tall enough for all of its lines, above the button.
    const auto dump = driver_.screen();
    const auto text = bundle.localizedString("dsgvoTextLite");
    const auto line = dump.find("text=\"" + text + "\"");
    ASSERT_NE(line, std::string::npos) << dump;
    const auto message = driver_.find(ViewQuery::byText(text));
    ASSERT_TRUE(message);
    EXPECT_GE(message->frame().height(), 5 * 13 * 1.2);  // 160 characters, 33 to a line
    EXPECT_GT(driver_.find(ViewQuery::byText("Accept"))->frame().minY(), message->frame().maxY());
    EXPECT_TRUE(driver_.tap(ViewQuery::byText("Accept")).ok());
    EXPECT_TRUE(defaults().boolForKey(kIsDsgvoAcceptedKey));
    EXPECT_EQ(completions, 1);
    EXPECT_FALSE(presentedAlert());
}

TEST_F(ConsentTest, ProEditionTexts) {
    useBundle({{"CFBundleIdentifier", "org.tessaline-pro-app"}});
    show(std::make_shared<platform::UIViewController>());
    DsgvoManager::showPrivacyAlertOnMainQueue(window_->rootViewController());
    platform::runUntilIdle();
    EXPECT_EQ(presentedAlert()->message(),
              platform::Bundle::mainBundle().localizedString("dsgvoTextPro"));
}

TEST_F(ConsentTest, VideoNoticeStoresEitherAnswer) {
    const struct {
        const char* button;
        bool stored;
    } cases[] = {{"Accept", true}, {"Decline", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.button);
        show(std::make_shared<platform::UIViewController>());
        std::vector<std::string> calls;
        DsgvoManager::showVideoPrivacyAlertOnMainQueue(
            window_->rootViewController(), [&] { calls.push_back("accept"); },
            [&] { calls.push_back("decline"); });
        platform::runUntilIdle();
        ASSERT_EQ(presentedAlert()->actions().size(), 2u);
        EXPECT_EQ(presentedAlert()->actions()[1]->title(), "Decline");
        ASSERT_TRUE(driver_.tap(ViewQuery::byText(c.button)).ok());
        EXPECT_EQ(defaults().objectForKey(kIsVidmoraDsgvoAcceptedKey), platform::Object(c.stored));
        EXPECT_EQ(calls, std::vector<std::string>{c.stored ? "accept" : "decline"});
    }
    DsgvoManager::saveConsent(true, kIsVidmoraDsgvoAcceptedKey);  // no closure
    EXPECT_TRUE(defaults().boolForKey(kIsVidmoraDsgvoAcceptedKey));
}

class OnboardingTest : public testing::ServicesTest {};

TEST_F(OnboardingTest, PlaceholderAndButtonTitles) {
    const std::vector<OnboardingPageRow> table = {
        {"", "one", "", "Welcome to \u00a7appname!"},
        {"", "two", "", "\u00a7appname and \u00a7appname"},
        {"", "three", "", "plain"},
    };
    const auto items = OnboardingManager().pageItems(table);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].description, "Welcome to \"Tessaline\"!");
    EXPECT_EQ(items[1].description, "\"Tessaline\" and \"Tessaline\"");
    EXPECT_EQ(items[2].description, "plain");
    EXPECT_EQ(items[0].imageName, "one");
    EXPECT_EQ(items[1].advanceButtonTitle, "Next");
    EXPECT_EQ(items[2].advanceButtonTitle, "Let's start");
    EXPECT_FALSE(items[2].actionButtonTitle);

    ASSERT_EQ(onboardingPages().size(), 5u);
    EXPECT_EQ(onboardingPages()[4].imageName, "main_onboarding_4");
    EXPECT_EQ(onboardingPages()[0].text,
              platform::Bundle::mainBundle().localizedString("onboardingA"));
    EXPECT_EQ(vidmoraOnboardingPages()[4].imageName, "onboarding_vidmora_5");
}

TEST_F(OnboardingTest, CompletingTheVideoSequenceFinishesOnboarding) {
    show(std::make_shared<platform::UIViewController>());
    auto onboarding = makeOnboardViewController(vidmoraOnboardingPages());
    onboarding->presentFrom(*window_->rootViewController(), true);
    EXPECT_NE(driver_.screen().find("image=onboarding_vidmora_1"), std::string::npos);
    for (int page = 0; page < 4; ++page) {
        ASSERT_TRUE(driver_.tap(ViewQuery::byId(platform::kOnboardAdvanceButtonId)).ok());
        EXPECT_FALSE(defaults().boolForKey(kIsOnboardingFinishedKey));
    }
    EXPECT_NE(driver_.screen().find("text=\"Let's start\""), std::string::npos);
    ASSERT_TRUE(driver_.tap(ViewQuery::byId(platform::kOnboardAdvanceButtonId)).ok());
    EXPECT_TRUE(defaults().boolForKey(kIsOnboardingFinishedKey));
    EXPECT_FALSE(window_->rootViewController()->presentedViewController());
}

TEST_F(OnboardingTest, AppearanceFollowsTheMomentOfTheCall) {
    const auto light = OnboardingManager().appearanceConfiguration();
    EXPECT_EQ(light.tintColor, themeGold());
    EXPECT_EQ(light.imageContentMode, platform::UIViewContentMode::center);
    platform::UIButton button;
    light.advanceButtonStyling(button);
    EXPECT_EQ(button.titleColor(), themeGold());
    EXPECT_EQ(button.titleFont.pointSize, 20);
    EXPECT_EQ(button.layer()->shadowOpacity, 0.7);
    platform::UITraitCollection dark;
    dark.userInterfaceStyle = platform::UIUserInterfaceStyle::dark;
    platform::UITraitCollection::setCurrent(dark);
    EXPECT_EQ(OnboardingManager().appearanceConfiguration().tintColor, themePaleYellow());
}

}  // namespace
}  // namespace app
