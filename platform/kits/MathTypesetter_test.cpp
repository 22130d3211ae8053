// The typesetting against what the page's typesetting (KaTeX in Chromium) does with the same
// source at the same size: the reference figures below were measured in the browser, at an em of
// 24.2 pixels (the labels' font size 20 times 1.21).
#include "platform/kits/MathTypesetter.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/Text.h"
#include "platform/kits/MTMathUILabel.h"

namespace platform {
namespace {

constexpr double kStepEm = 24.2;

std::string utf8Of(char32_t c) {
    std::string s;
    appendUTF8(s, c);
    return s;
}

TEST(MathTypesetterTest, WidthsAreThoseThePageTypesets) {
    const std::pair<const char*, double> cases[] = {
        {"\\log_{2}\\left(4\\cdot8\\right)", 105.531},
        {"\\frac{1}{2}", 14.25},
        {"x^{2}", 23.516},
        {"f_{2}^{3}", 24.125},
        {"log_au", 54.984},
        {"NaN", 56.922},
        {"-\\infty", 43.031},
        {"=-3", 56.484},
        {"0 \\le x < 1", 102.594},
        {"\\quad x", 38.031},
        {"\\;\\color{red}{x}", 20.563},
        {"\\text{a b}", 31.594},
        {"\\sqrt{2}", 32.266},
        {"\\sqrt[3]{8}", 31.609},
        {"\\sqrt{\\frac{1}{2}}", 38.438},
        {"\\frac{\\log_{b}u}{1}", 47.078},
        {"\\frac{3 : 3}{6  : 3} = \\frac{1}{2}", 73.953},
        {"\\left(\\frac{\\frac{7}{8}}{\\frac{3}{4}}\\right)", 46.531},
        {"\\left(\\frac{1}{\\frac{1}{\\frac{1}{\\frac{1}{2}}}}\\right)", 71.531},
        {"\\log_{2^{3}}\\left(4^{6}\\right)", 96.188},
        {"\\log_{2}\\left(\\sqrt[3]{8}\\right) = \\frac{1}{3}\\cdot \\log_{2}\\left(8\\right)",
         238.688},
        {"\\log_{\\frac{1}{2}}\\left(\\frac{7}{8}\\right) = "
         "\\frac{\\log_{10}\\left(\\frac{7}{8}\\right)}{\\log_{10}\\left(\\frac{1}{2}\\right)}",
         188.703},
    };
    for (const auto& [latex, width] : cases) {
        const auto layout = typesetMath(latex, kStepEm);
        EXPECT_FALSE(layout.source) << latex;
        EXPECT_NEAR(layout.width, width, 0.12) << latex;
    }
}

// Glyphs where the page puts them: fractions stacked and centred, scripts raised or lowered
// and smaller, a subscript tucked under a slanted letter, delimiters grown to their content.
TEST(MathTypesetterTest, GlyphsSitWhereThePagePutsThem) {
    struct Glyph {
        char32_t codepoint;
        MathFont font;
        double x, y, size;
    };
    const auto M = MathFont::main, I = MathFont::mathItalic;
    const std::pair<const char*, std::vector<Glyph>> cases[] = {
        {"\\left(\\frac{7}{8}\\right)",
         {{'(', MathFont::size1, 0, 0, 24.2},
          {'7', M, 13.969, -9.532, 16.94},
          {'8', M, 13.969, 8.343, 16.94},
          {')', MathFont::size1, 25.328, 0, 24.2}}},
        {"x_{2}^{3}",
         {{'x', I, 0, 0, 24.2}, {'3', M, 13.844, -8.781, 16.94}, {'2', M, 13.844, 6.0, 16.94}}},
        {"f_{2}^{3}",
         {{'f', I, 0, 0, 24.2}, {'3', M, 14.453, -8.781, 16.94}, {'2', M, 11.859, 6.0, 16.94}}},
        {"\\sqrt[3]{8}",
         {{'3', M, 6.719, -11.234, 12.1},
          {0x221A, M, -0.67, -1.626, 24.2},
          {'8', M, 19.5, 0, 24.2}}},
        {"\\log_{2}\\left(4\\cdot8\\right)",
         {{'l', M, 0, 0, 24.2},
          {'o', M, 6.734, 0, 24.2},
          {'g', M, 18.844, 0, 24.2},
          {'2', M, 31.281, 5.907, 16.94},
          {'(', M, 44.984, 0, 24.2},
          {'4', M, 54.406, 0, 24.2},
          {0x22C5, M, 71.891, 0, 24.2},
          {'8', M, 84, 0, 24.2},
          {')', M, 96.109, 0, 24.2}}},
        {"\\frac{\\log_{b}u}{1}",
         {{'l', M, 2.891, -12.0, 16.94},
          {'o', M, 7.609, -12.0, 16.94},
          {'g', M, 16.078, -12.0, 16.94},
          {'b', I, 24.781, -7.5, 12.1},
          {'u', I, 34.484, -12.0, 16.94},
          {'1', M, 19.297, 8.344, 16.94}}},
        {"\\left(\\frac{\\frac{7}{8}}{\\frac{3}{4}}\\right)",
         {{'(', MathFont::size2, 0, 0, 24.2},
          {'7', M, 20.234, -19.828, 12.1},
          {'8', M, 20.234, -7.5, 12.1},
          {'3', M, 20.234, 3.203, 12.1},
          {'4', M, 20.234, 15.531, 12.1},
          {')', MathFont::size2, 32.078, 0, 24.2}}},
    };
    for (const auto& [latex, expected] : cases) {
        const auto layout = typesetMath(latex, kStepEm);
        ASSERT_EQ(layout.glyphs.size(), expected.size()) << latex;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const MathGlyph& g = layout.glyphs[i];
            const Glyph& e = expected[i];
            const std::string what = std::string(latex) + " glyph " + std::to_string(i);
            EXPECT_EQ(utf8Of(g.codepoint), utf8Of(e.codepoint)) << what;
            EXPECT_EQ(g.font, e.font) << what;
            EXPECT_NEAR(g.x, e.x, 0.1) << what;
            EXPECT_NEAR(g.y, e.y, 0.05) << what;
            EXPECT_NEAR(g.size, e.size, 1e-9) << what;
        }
    }
}

// Past the largest glyph a delimiter is built from its end pieces and a straight stroke between
// them, as tall as its content asks.
TEST(MathTypesetterTest, TallDelimitersAreBuiltFromPieces) {
    std::string source = "2";
    for (int i = 0; i < 7; ++i)
        source = "\\frac{1}{" + source + "}";
    const auto layout = typesetMath("\\left(" + source + "\\right)", kStepEm);
    std::string pieces;
    for (const auto& g : layout.glyphs)
        if (g.font == MathFont::size4) pieces += utf8Of(g.codepoint);
    EXPECT_EQ(pieces, "⎛⎝⎞⎠");
    // Seven fraction bars and the two strokes.
    ASSERT_EQ(layout.rules.size(), 9u);
    const MathRule& stroke = layout.rules.front();
    EXPECT_NEAR(stroke.width, (0.417 - 0.291) * kStepEm, 1e-9);
    EXPECT_GT(layout.ascent + layout.descent, 3 * kStepEm);
}

TEST(MathTypesetterTest, ColourAppliesToTheRestOfItsGroup) {
    const RGBA red{1, 0, 0, 1}, blue{0, 0, 1, 1};
    const auto layout = typesetMath("{\\color{red}{x}+\\frac{1}{2}}\\color{#00f}y-1", kStepEm);
    ASSERT_EQ(layout.glyphs.size(), 7u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(layout.glyphs[i].color, red) << i;
    EXPECT_EQ(layout.rules.at(0).color, red);
    for (int i = 4; i < 7; ++i)
        EXPECT_EQ(layout.glyphs[i].color, blue) << i;
    EXPECT_EQ(mathColorNamed("#F00"), red);
    EXPECT_EQ(mathColorNamed("0000ff"), blue);
    EXPECT_EQ(mathColorNamed("nocolour"), std::nullopt);
}

// What the page's typesetting refuses, and what is too long or too deep, shows as its source in
// the small monospaced font, as wide as its characters; nothing is typeset from it.
TEST(MathTypesetterTest, RefusedSourcesShowAsThemselves) {
    const std::string deep = std::string(40, '{') + "1" + std::string(40, '}');
    const std::string tooLong(kMathSourceLimit + 1, '1');
    const std::string cases[] = {
        "\\frac{1}",  "\\left(x",
        "\\right)",   "\\foo",
        "x^2^3",      "x_1_2",
        "{",          "}",
        "a & b",      "\\sqrt[3",
        "x^",         "\\color{a b}{1}",
        "\\text{x^}", "\\left x\\right)",
        deep,         tooLong,
        "\xff\xfe",
    };
    for (const auto& source : cases) {
        const auto layout = typesetMath(source, kStepEm);
        ASSERT_TRUE(layout.source) << source.substr(0, 40);
        EXPECT_EQ(*layout.source, toValidUTF8(source));
        EXPECT_DOUBLE_EQ(layout.width, static_cast<double>(codePointCount(toValidUTF8(source))) *
                                           kMathSourceAdvance * kMathSourceFontSize);
        EXPECT_TRUE(layout.glyphs.empty());
    }
    // Deep, but within bounds: typeset.
    const std::string nested = std::string(20, '{') + "1" + std::string(20, '}');
    EXPECT_FALSE(typesetMath(nested, kStepEm).source);
    EXPECT_FALSE(typesetMath(std::string(kMathSourceLimit, '1'), kStepEm).source);
}

// The formula's line is centred in its box as the page centres it: the baseline of a digit at
// 35.484 in a box of 56, of a letter at 34.484 (its font's line reaches lower), of a fraction at
// 34.828; a refused source sits on the monospaced font's line.
TEST(MathTypesetterTest, BaselinesAreWhereThePageHasThem) {
    const std::pair<const char*, double> cases[] = {
        {"1", 35.484},
        {"x", 34.484},
        {"\\frac{1}{2}", 34.828},
        {"\\left(\\frac{\\frac{7}{8}}{\\frac{3}{4}}\\right)", 34.047},
        {"\\foo", 32},
    };
    for (const auto& [latex, baseline] : cases)
        EXPECT_NEAR(typesetMath(latex, kStepEm).baselineIn(56), baseline, 0.03) << latex;
}

TEST(MathTypesetterTest, TheLabelFitsItsTypesetFormula) {
    MTMathUILabel label(CGRect{0, 0, 10, 10});
    label.setLatex("\\log_{2}\\left(4\\cdot8\\right)");
    EXPECT_EQ(label.sizeThatFits({0, 0}), (CGSize{106, 30}));
    EXPECT_EQ(label.sizeThatFits({0, 64}), (CGSize{106, 64}));
    label.fontSize = 10;
    EXPECT_EQ(label.sizeThatFits({0, 0}).width, 53);
    label.setLatex("");
    EXPECT_EQ(label.sizeThatFits({0, 0}).width, 0);
}

}  // namespace
}  // namespace platform
