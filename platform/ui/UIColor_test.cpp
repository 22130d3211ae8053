#include "platform/ui/UIColor.h"

#include <gtest/gtest.h>

#include "platform/ui/UITestSupport.h"

namespace platform {
namespace {

using ColorTest = testing::UITest;

TEST_F(ColorTest, SystemColoursResolveAgainstTheCurrentTraits) {
    struct Case {
        UIColor color;
        const char* light;
        const char* dark;
    };
    const Case cases[] = {
        {UIColor::label(), "#000000", "#ffffff"},
        {UIColor::systemGray4(), "#d1d1d6", "#3a3a3c"},
        {UIColor::systemBackground(), "#ffffff", "#000000"},
        {UIColor::tertiarySystemGroupedBackground(), "#f2f2f7", "#2c2c2e"},
        {UIColor::systemFill(), "#78788033", "#7878805c"},
        {UIColor::systemOrange(), "#ff9500", "#ff9f0a"},
        {UIColor::systemRed(), "#ff3b30", "#ff453a"},
        {UIColor::systemBlue(), "#007aff", "#0a84ff"},
        {UIColor(1, 0.5, 0, 1), "#ff8000", "#ff8000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.color.hexString(true), c.light);
        UITraitCollection::setCurrent({UIUserInterfaceStyle::dark});
        EXPECT_EQ(c.color.hexString(true), c.dark);
        UITraitCollection::setCurrent({UIUserInterfaceStyle::light});
    }
}

TEST_F(ColorTest, HueWrapsAndHexParsesStrictly) {
    EXPECT_EQ(UIColor::hsb(1.0 / 3, 1, 1).hexString(), "#00ff00");
    EXPECT_EQ(UIColor::hsb(4.0 / 3, 1, 1).hexString(), "#00ff00");
    EXPECT_EQ(UIColor::hsb(-2.0 / 3, 1, 1).hexString(), "#00ff00");
    EXPECT_EQ(UIColor::hsb(0.5, 0.5, 0.5, 0.5).hexString(true), "#40808080");
    EXPECT_EQ(UIColor::hex("#FF000080")->hexString(true), "#ff000080");
    for (const char* bad : {"", "#fff", "ff0000", "#ff00zz", "#ff0000f"}) {
        EXPECT_FALSE(UIColor::hex(bad)) << bad;
    }
    EXPECT_EQ(UIColor::label().withAlphaComponent(0.9).hexString(true), "#000000e6");
}

}  // namespace
}  // namespace platform
