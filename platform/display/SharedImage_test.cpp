#include "platform/display/SharedImage.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <numbers>
#include <optional>

#include "platform/kits/MathTypesetter.h"
#include "testkit/TempHome.h"

namespace platform {
namespace {

// A decoded PNG: its size and its pixels (0xAARRGGBB).
struct DecodedPng {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels;

    std::uint32_t at(double x, double y) const {
        const int ix = static_cast<int>(x), iy = static_cast<int>(y);
        if (ix < 0 || iy < 0 || ix >= width || iy >= height) return 0;
        return pixels[static_cast<std::size_t>(iy) * width + ix];
    }
    // Whether any pixel of the rectangle (in pixels) passes `test`.
    template <typename Test>
    bool any(CGRect r, Test test) const {
        for (int y = static_cast<int>(r.minY()); y < static_cast<int>(r.maxY()); ++y)
            for (int x = static_cast<int>(r.minX()); x < static_cast<int>(r.maxX()); ++x)
                if (test(at(x, y))) return true;
        return false;
    }
};

int redOf(std::uint32_t p) {
    return (p >> 16) & 0xFF;
}
int greenOf(std::uint32_t p) {
    return (p >> 8) & 0xFF;
}
int blueOf(std::uint32_t p) {
    return p & 0xFF;
}
bool isRedPixel(std::uint32_t p) {
    return redOf(p) > 200 && greenOf(p) < 90 && blueOf(p) < 90;
}
bool isDarkPixel(std::uint32_t p) {
    return redOf(p) < 80 && greenOf(p) < 80 && blueOf(p) < 80;
}
constexpr std::uint32_t kWhitePixel = 0xFFFFFFFF;

DecodedPng decodePng(const std::string& png) {
    struct Reader {
        const std::string& data;
        std::size_t at = 0;
    } reader{png};
    const auto read = [](void* closure, unsigned char* out, unsigned int length) {
        auto* r = static_cast<Reader*>(closure);
        if (r->data.size() - r->at < length) return CAIRO_STATUS_READ_ERROR;
        std::memcpy(out, r->data.data() + r->at, length);
        r->at += length;
        return CAIRO_STATUS_SUCCESS;
    };
    std::unique_ptr<cairo_surface_t, void (*)(cairo_surface_t*)> surface(
        cairo_image_surface_create_from_png_stream(read, &reader), cairo_surface_destroy);
    DecodedPng picture;
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return picture;
    cairo_surface_flush(surface.get());
    picture.width = cairo_image_surface_get_width(surface.get());
    picture.height = cairo_image_surface_get_height(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    const unsigned char* data = cairo_image_surface_get_data(surface.get());
    for (int y = 0; y < picture.height; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(data + y * stride);
        picture.pixels.insert(picture.pixels.end(), row, row + picture.width);
    }
    return picture;
}

// The width and height a PNG file states in its header.
std::pair<std::uint32_t, std::uint32_t> pngHeaderSize(const std::string& png) {
    const auto word = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < 4; ++i)
            v = (v << 8) | static_cast<unsigned char>(png.at(at + i));
        return v;
    };
    return {word(16), word(20)};
}

std::shared_ptr<UIImage> renderedImage(CGSize size, const std::function<void(CGContext&)>& draw) {
    return UIGraphicsImageRenderer(size).image(draw);
}

void drawStepFormula(CGContext& ctx, const std::string& latex, CGRect rect) {
    ctx.saveGState();
    ctx.setTextStyle({UIFont::systemFont(20)});
    ctx.drawLatex(latex, rect, UIColor::black());
    ctx.restoreGState();
}

// The picture is the image at its scale, widened to hold its widest formula whole, and drawn
// smaller only where it would grow past the limits.
TEST(SharedImageTest, ThePictureIsTheImageAtItsScaleWidenedToItsWidestFormula) {
    const std::string sixtyDigits(60, '7');
    struct Case {
        const char* what;
        CGSize size;
        std::string latex;
        double width, scale;
        std::uint32_t pixelWidth, pixelHeight;
    };
    const Case cases[] = {
        {"a short formula", {390, 100}, "\\frac{1}{2}", 390, 3, 1170, 300},
        // Sixty digits of half an em at 24.2 pixels, from x 20, and the margin after them.
        {"a long number", {390, 100}, sixtyDigits, 20 + 60 * 12.1 + 16, 3, 2286, 300},
        {"a tall table", {390, 20000}, "1", 390, 16384.0 / 20000, 320, 16384},
        {"a wide and tall table",
         {390, 8000},
         sixtyDigits + sixtyDigits,
         20 + 120 * 12.1 + 16,
         std::sqrt(kSharedImageMaxPixels / ((20 + 120 * 12.1 + 16) * 8000)),
         2113,
         11360},
    };
    for (const auto& c : cases) {
        const auto image = renderedImage(c.size, [&](CGContext& ctx) {
            ctx.fill({0, 0, c.size.width, c.size.height}, UIColor::white(1));
            drawStepFormula(ctx, c.latex, {20, 0, 343, 56});
        });
        const auto canvas = sharedImageCanvas(*image);
        EXPECT_NEAR(canvas.size.width, c.width, 0.01) << c.what;
        EXPECT_EQ(canvas.size.height, c.size.height) << c.what;
        EXPECT_NEAR(canvas.scale, c.scale, 1e-9) << c.what;
        const auto png = sharedImagePng(*image);
        ASSERT_TRUE(png) << c.what;
        EXPECT_EQ(png->substr(0, 8), "\x89PNG\r\n\x1a\n") << c.what;
        EXPECT_EQ(pngHeaderSize(*png), std::make_pair(c.pixelWidth, c.pixelHeight)) << c.what;
    }
    EXPECT_FALSE(sharedImagePng(UIImage("", {0, 10})));
}

TEST(SharedImageTest, FillsTextsAndFormulasAreDrawnWhereThePageShowsThem) {
    const CGRect fraction{100, 0, 100, 56}, colored{100, 60, 100, 56}, refused{0, 120, 200, 56};
    const auto image = renderedImage({390, 200}, [&](CGContext& ctx) {
        ctx.fill({0, 0, 40, 40}, UIColor(1, 0, 0, 1));
        ctx.drawText("Insert", {0, 50, 90, 20}, UIColor::black());
        drawStepFormula(ctx, "\\frac{1}{2}", fraction);
        drawStepFormula(ctx, "\\color{red}{x}", colored);
        drawStepFormula(ctx, "\\frac{1}", refused);
    });
    const auto png = sharedImagePng(*image);
    ASSERT_TRUE(png);
    const DecodedPng p = decodePng(*png);
    ASSERT_EQ(p.width, 1170);
    EXPECT_TRUE(isRedPixel(p.at(60, 60)));
    EXPECT_EQ(p.at(300, 30), kWhitePixel);  // paper beside the fill
    EXPECT_TRUE(p.any({0, 150, 270, 60}, isDarkPixel)) << "the text";

    // The fraction's bar lies on the axis, a quarter em above the baseline, between the
    // null-delimiter spaces; nothing is drawn past the formula's end.
    const MathLayout layout = typesetMath("\\frac{1}{2}", 24.2);
    const double axis = fraction.minY() + layout.baselineIn(56) - 0.25 * 24.2;
    const double middle = fraction.minX() + layout.width / 2;
    EXPECT_TRUE(isDarkPixel(p.at(middle * 3, axis * 3))) << "the bar";
    EXPECT_FALSE(p.any({(fraction.minX() + layout.width + 2) * 3, 0, 60, 168}, isDarkPixel));
    EXPECT_TRUE(p.any({colored.minX() * 3, colored.minY() * 3, 45, 168}, isRedPixel)) << "red x";
    EXPECT_FALSE(p.any({colored.minX() * 3, colored.minY() * 3, 45, 168}, isDarkPixel));
    // A source the typesetting refuses reads as itself, in red.
    EXPECT_TRUE(p.any({0, refused.minY() * 3, 300, 168}, isRedPixel)) << "the refused source";
}

// A text in a wrapping box runs on in lines below; one that does not wrap stays on its line and
// ends in an ellipsis where its box ends. A single word longer than any line is broken.
TEST(SharedImageTest, TextsWrapOrAreCutAtTheirBox) {
    const auto wrapping = [](std::string text) {
        DisplayItem item{DisplayItem::Kind::text, {0, 0, 100, 200}, {0, 0, 0, 1}, 0, text, {}, {}};
        item.style = {UIFont::systemFont(14), NSTextAlignment::left, true};
        return item;
    };
    DisplayItem line = wrapping("one line that is much too long for its box");
    line.rect = {0, 200, 100, 20};
    line.style.wraps = false;
    UIImage image("", {200, 220});
    image.setDisplayList({wrapping("a few words that need three lines"), line});
    const auto png = sharedImagePng(image);
    ASSERT_TRUE(png);
    const DecodedPng p = decodePng(*png);
    int inkedLines = 0;
    for (int band = 0; band < 5; ++band)  // lines of about 16.3 points
        inkedLines += p.any({0, band * 49.0 + 3, 300, 40}, isDarkPixel);
    EXPECT_GE(inkedLines, 3);
    // Cut at the box: ink up to its right end, none beyond.
    EXPECT_TRUE(p.any({250, 600, 50, 60}, isDarkPixel));
    EXPECT_FALSE(p.any({305, 600, 295, 60}, isDarkPixel));

    UIImage word("", {100, 200});
    word.setDisplayList({wrapping(std::string(20000, 'w'))});
    EXPECT_TRUE(decodePng(*sharedImagePng(word)).any({0, 500, 300, 100}, isDarkPixel));
}

// A drawing made under a turned context is drawn turned about its pivot.
TEST(SharedImageTest, TurnedDrawingsAreDrawnTurned) {
    const auto image = renderedImage({100, 100}, [](CGContext& ctx) {
        ctx.saveGState();
        ctx.translate(50, 50);
        ctx.rotate(std::numbers::pi / 2);
        ctx.fill({-40, -2, 80, 4}, UIColor(1, 0, 0, 1));
        ctx.restoreGState();
    });
    const DecodedPng p = decodePng(*sharedImagePng(*image));
    EXPECT_TRUE(isRedPixel(p.at(150, 40)));  // along the turned bar
    EXPECT_EQ(p.at(40, 150), kWhitePixel);   // where it lay unturned
}

// An arc of a shape layer is drawn as the page draws it: a stroke along the arc, open at its
// chord, unless its fill shows. (A quarter turn about (100, 100), radius 80, 5 wide.)
TEST(SharedImageTest, AShapeIsFilledOnlyWhereItsFillShows) {
    const auto isYellow = [](std::uint32_t p) {
        return redOf(p) > 200 && greenOf(p) > 200 && blueOf(p) < 80;
    };
    const auto isBlue = [](std::uint32_t p) {
        return redOf(p) < 80 && greenOf(p) < 80 && blueOf(p) > 200;
    };
    const struct {
        const char* what;
        std::optional<UIColor> fill;
        bool filled;
    } cases[] = {
        {"a clear fill", UIColor::clear(), false},
        {"no fill", std::nullopt, false},
        {"a fill that shows", UIColor(0, 0, 1, 1), true},
    };
    for (const auto& c : cases) {
        CAShapeLayer arc;
        arc.frame = {0, 0, 200, 200};
        arc.path = UIBezierPath::arc({100, 100}, 80, 0, -std::numbers::pi / 2, false);
        arc.fillColor = c.fill;
        arc.strokeColor = UIColor::hsb(0.18, 0.9, 1);
        arc.lineWidth = 5;
        const auto image = renderedImage({200, 200}, [&](CGContext& ctx) { arc.render(ctx); });
        const DecodedPng p = decodePng(*sharedImagePng(*image));
        // In points: the arc's middle; a point of the segment the chord cuts off, 12 inside the
        // arc and 11 beyond the chord; the chord's middle.
        const double h = std::sqrt(0.5);
        EXPECT_TRUE(isYellow(p.at((100 + 80 * h) * 3, (100 - 80 * h) * 3))) << c.what;
        const auto inside = p.at((100 + 68 * h) * 3, (100 - 68 * h) * 3);
        const auto chord = p.at(140 * 3, 60 * 3);
        if (c.filled) {
            EXPECT_TRUE(isBlue(inside)) << c.what;
            EXPECT_TRUE(isYellow(chord)) << c.what;
        } else {
            EXPECT_EQ(inside, kWhitePixel) << c.what;
            EXPECT_EQ(chord, kWhitePixel) << c.what;
            // Where the arc starts: a square end, no corner with the chord jutting out below.
            EXPECT_FALSE(p.any({178 * 3, 101.5 * 3, 15, 10}, isYellow)) << c.what;
        }
    }
}

TEST(SharedImageTest, ResourceImagesAreDrawnFromTheirFiles) {
    testkit::TempHome home;
    const auto folder = home.path() / "images";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "box.svg")
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"24\" height=\"24\">"
           "<rect width=\"24\" height=\"24\" fill=\"#ff0000\"/></svg>";
    std::ofstream(folder / "broken.svg") << "<svg";
    const auto image = renderedImage({120, 40}, [&](CGContext& ctx) {
        ctx.drawImage(UIImage("box", {24, 24}), {0, 0, 24, 24});
        ctx.drawImage(UIImage("broken", {24, 24}), {40, 0, 24, 24});
        ctx.drawImage(UIImage("../box", {24, 24}), {80, 0, 24, 24});
    });
    const auto png = sharedImagePng(*image, {folder});
    ASSERT_TRUE(png);
    const DecodedPng p = decodePng(*png);
    EXPECT_TRUE(isRedPixel(p.at(36, 36)));
    // A file that does not draw, and a name that would leave the folder, show the placeholder's
    // grey frame instead.
    for (const double x : {40.0, 80.0}) {
        const auto edge = p.at(x * 3 + 1, 36);
        EXPECT_FALSE(isRedPixel(edge)) << x;
        EXPECT_TRUE(redOf(edge) < 230 && redOf(edge) > 100) << x;
    }
}

}  // namespace
}  // namespace platform
