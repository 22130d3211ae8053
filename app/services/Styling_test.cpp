#include <gtest/gtest.h>

#include <unordered_set>

#include "app/services/ColorManager.h"
#include "app/services/Display.h"
#include "app/services/QuroColor.h"
#include "app/services/ServicesTestSupport.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/ui/UIControl.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIScrollView.h"

namespace app {
namespace {

using platform::UIColor;
using platform::UITraitCollection;
using platform::UIUserInterfaceStyle;
using platform::UIView;

class StylingTest : public testing::ServicesTest {
  protected:
    static void setStyle(UIUserInterfaceStyle style) {
        UITraitCollection traits;
        traits.userInterfaceStyle = style;
        UITraitCollection::setCurrent(traits);
    }
};

class CustomContent : public UIView {};

TEST_F(StylingTest, TaggedViewsInLightAndDark) {
    for (const auto style : {UIUserInterfaceStyle::light, UIUserInterfaceStyle::dark}) {
        SCOPED_TRACE(style == UIUserInterfaceStyle::dark ? "dark" : "light");
        platform::resetSharedInstances();
        setStyle(style);
        const bool dark = style == UIUserInterfaceStyle::dark;
        auto rootView = std::make_shared<UIView>();
        auto& root = *rootView;
        auto pink = std::make_shared<UIView>();
        pink->tag = 104;
        auto stack = std::make_shared<platform::UIStackView>();
        auto label = std::make_shared<platform::UILabel>();
        label->tag = 101;
        stack->addSubview(label);
        auto custom = std::make_shared<CustomContent>();
        custom->tag = 101;
        auto inner = std::make_shared<UIView>();
        inner->tag = 102;
        custom->addSubview(inner);
        auto button = std::make_shared<platform::UIButton>();
        button->tag = 200;
        for (const auto& v : std::vector<std::shared_ptr<UIView>>{pink, stack, custom, button})
            root.addSubview(v);

        ColorManager::styleSubviews(root);

        EXPECT_EQ(pink->backgroundColor(), themePink());
        EXPECT_EQ(pink->layer()->shadowOpacity, dark ? 0 : 0.7);
        if (!dark) {
            EXPECT_EQ(pink->layer()->shadowColor, QuroColor::shadowGray());
            EXPECT_EQ(pink->layer()->shadowOffset.height, 1.0);
            EXPECT_EQ(pink->layer()->shadowRadius, 1.0);
        }
        EXPECT_FALSE(label->backgroundColor());
        EXPECT_FALSE(custom->backgroundColor());
        EXPECT_FALSE(inner->backgroundColor());
        EXPECT_EQ(button->alpha(), dark ? 0.3 : 0.5);
        EXPECT_EQ(button->titleColor(), QuroColor::primary());
        EXPECT_EQ(button->tintColor(), QuroColor::primary());
    }
}

TEST_F(StylingTest, HexStrings) {
    const struct {
        UIColor color;
        const char* hex;
    } cases[] = {
        {UIColor(1, 0, 0, 1), "#ff0000"},
        {UIColor(0.5, 0.5, 0.5, 1), "#7f7f7f"},
        {UIColor(1.5, -0.2, 0.0039, 1), "#ff0000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ColorManager::hexString(c.color), c.hex);
}

TEST_F(StylingTest, ThemeColourSettlesAtFirstUse) {
    setStyle(UIUserInterfaceStyle::dark);
    const auto darkGold = themeGold();
    EXPECT_EQ(ColorManager::hexString(darkGold), "#8d7c37");  // brightness 0.79 * 0.7
    setStyle(UIUserInterfaceStyle::light);
    EXPECT_EQ(themeGold(), darkGold);
    EXPECT_EQ(ColorManager::hexString(themeCrimson()), "#b5004f");
    platform::resetSharedInstances();
    EXPECT_EQ(ColorManager::hexString(themeGold()), "#c9b24f");
}

TEST_F(StylingTest, StarViewTakesTheTagColourAndLightShadows) {
    platform::CosmosView stars;
    stars.tag = 105;
    ColorManager::styleStarView(stars);
    EXPECT_EQ(stars.settings.filledColor, themeCrimson());
    ASSERT_EQ(stars.layer()->sublayers().size(), 5u);
    for (const auto& layer : stars.layer()->sublayers())
        EXPECT_EQ(layer->shadowOpacity, 0.7);
}

TEST_F(StylingTest, CardShadow) {
    for (const bool dark : {false, true}) {
        setStyle(dark ? UIUserInterfaceStyle::dark : UIUserInterfaceStyle::light);
        platform::CALayer layer;
        layer.masksToBounds = true;
        ColorManager::addShadow(layer);
        EXPECT_FALSE(layer.masksToBounds);
        EXPECT_EQ(layer.shadowOpacity, 0.5);
        EXPECT_EQ(layer.shadowOffset.height, dark ? 0.0 : 1.5);
        EXPECT_EQ(layer.shadowRadius, dark ? 1.0 : 2.0);
    }
}

TEST(DisplayTypeTest, CasesInOrderEqualAndHashedByCase) {
    const DisplayType inOrder[] = {
        DisplayType::unknown, DisplayType::iphone4,     DisplayType::iphone5,
        DisplayType::iphone6, DisplayType::iphone6plus, DisplayType::iPadNonRetina,
        DisplayType::iPad,    DisplayType::iPadProBig,
    };
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(static_cast<int>(inOrder[i]), i);
    EXPECT_LT(DisplayType::iphone6plus, DisplayType::iPadNonRetina);
    const std::unordered_set<DisplayType> set(std::begin(inOrder), std::end(inOrder));
    EXPECT_EQ(set.size(), 8u);
    EXPECT_TRUE(set.contains(Display::DisplayType::iPadProBig));
}

}  // namespace
}  // namespace app
