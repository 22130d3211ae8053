// Rendering a view tree into an image records what the screen shows, LaTeX included.
#include <gtest/gtest.h>

#include "platform/kits/DTTextField.h"
#include "platform/kits/MTMathUILabel.h"
#include "platform/kits/VMPlayerView.h"
#include "platform/ui/UITestSupport.h"

namespace platform {
namespace {

using RenderingTest = testing::UITest;

std::string describe(const std::vector<DisplayItem>& items) {
    static const char* kinds[] = {"fill", "border", "shadow", "text", "latex", "image", "path"};
    std::string out;
    for (const auto& i : items) {
        out += std::string(kinds[static_cast<int>(i.kind)]) + " " + formatNumber(i.rect.minX()) +
               "," + formatNumber(i.rect.minY()) + "," + formatNumber(i.rect.width()) + "," +
               formatNumber(i.rect.height()) + " " +
               UIColor(i.color.r, i.color.g, i.color.b, i.color.a).hexString(true);
        if (!i.text.empty()) out += " " + i.text;
        out += "\n";
    }
    return out;
}

TEST_F(RenderingTest, ALayerRendersInItsOwnCoordinatesAndImagesStackTheirContent) {
    auto root = std::make_shared<UIView>(CGRect{50, 50, 200, 100});
    root->setBackgroundColor(UIColor::systemBackground());
    auto field = std::make_shared<DTTextField>(CGRect{10, 10, 100, 30});
    field->setText("5");
    field->borderShown = true;
    field->borderColor = UIColor::systemRed();
    field->boxLayer()->backgroundColor = UIColor::systemGray4();
    auto math = std::make_shared<MTMathUILabel>(CGRect{10, 50, 100, 30});
    math->setLatex("\\frac{1}{2}");
    math->textColor = UIColor::label();
    auto hidden = std::make_shared<MTMathUILabel>(CGRect{0, 0, 10, 10});
    hidden->setLatex("x");
    hidden->setHidden(true);
    root->addSubview(field);
    root->addSubview(math);
    root->addSubview(hidden);

    auto image = UIGraphicsImageRenderer({200, 100}).image([&](CGContext& ctx) {
        root->layer()->render(ctx);
    });
    ASSERT_TRUE(image);
    EXPECT_EQ(image->scale(), 3);
    const char* expected =
        "fill 0,0,200,100 #ffffff\n"
        "fill 10,10,100,30 #d1d1d6\n"
        "border 10,10,100,30 #ff3b30\n"
        "text 10,10,100,30 #000000 5\n"
        "latex 10,50,100,30 #000000 \\frac{1}{2}\n";
    EXPECT_EQ(describe(image->displayList()), expected);

    // Stitching draws the images one below the other.
    auto stitched = UIGraphicsImageRenderer({200, 200}).image([&](CGContext& ctx) {
        ctx.drawImage(*image, {0, 0, 200, 100});
        ctx.drawImage(*image, {0, 100, 200, 100});
    });
    ASSERT_EQ(stitched->displayList().size(), 10u);
    EXPECT_EQ(stitched->displayList()[9].rect, CGRect(10, 150, 100, 30));
    EXPECT_EQ(UIGraphicsImageRenderer({0, 10}).image([](CGContext&) {}), nullptr);
}

// Loaded, a player shows its picture under its title and where it starts, as a player does
// before it plays; before any load it shows nothing.
TEST_F(RenderingTest, APlayerShowsItsPictureTitleAndStartBeforeItPlays) {
    struct Case {
        const char* videoId;
        const char* start;  // the "start" variable; null: none
        std::vector<std::string> texts;
    };
    const Case cases[] = {
        {"", nullptr, {}},
        {"abcdefghijk", nullptr, {"abcdefghijk"}},
        {"abcdefghijk", "90", {"abcdefghijk", "1:30"}},
        {"bcdefghijkl", "5", {"bcdefghijkl", "0:05"}},
        {"bcdefghijkl", "3600", {"bcdefghijkl", "60:00"}},
        {"bcdefghijkl", "1m30", {"bcdefghijkl"}},
    };
    for (const auto& c : cases) {
        auto player = std::make_shared<VMPlayerView>(CGRect{0, 0, 300, 300});
        if (*c.videoId) {
            Dictionary vars{{"iv_load_policy", 1}};
            if (c.start) vars["start"] = c.start;
            player->loadWithVideoId(c.videoId, vars);
        }
        CGContext ctx;
        player->drawContent(ctx);
        std::vector<std::string> texts;
        for (const auto& item : ctx.items())
            if (item.kind == DisplayItem::Kind::text) texts.push_back(item.text);
        EXPECT_EQ(texts, c.texts) << c.videoId << " " << (c.start ? c.start : "");
        if (!*c.videoId) {
            EXPECT_TRUE(ctx.items().empty());
            continue;
        }
        // The picture covers the whole card.
        ASSERT_FALSE(ctx.items().empty());
        EXPECT_EQ(ctx.items().front().kind, DisplayItem::Kind::fill);
        EXPECT_EQ(ctx.items().front().rect, CGRect(0, 0, 300, 300));
    }
}

}  // namespace
}  // namespace platform
