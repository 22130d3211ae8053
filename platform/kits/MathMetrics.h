#pragma once
// The fonts and measures that formulas are set with: the KaTeX fonts (Debian's fonts-katex),
// whose glyphs the browser draws on the page and the shared image draws from the same files. The
// measures are those of the browser's typesetting (in ems of the formula's size): each glyph's
// advance, its italic correction (which the typesetting adds after slanted letters), its height
// and depth; and the parameters of the three sizes a formula is set in.
#include <cstdint>
#include <iosfwd>
#include <string_view>

namespace platform {

enum class MathFont : std::uint8_t { main, mathItalic, size1, size2, size3, size4 };

// The font's file name without extension, as fonts-katex installs it ("KaTeX_Main-Regular").
std::string_view mathFontFileName(MathFont font);
// For failure messages: the file name.
void PrintTo(MathFont font, std::ostream* os);

// Where fonts-katex installs the fonts.
inline constexpr std::string_view kMathFontDirectory = "/usr/share/javascript/katex/fonts";

struct MathGlyphMetrics {
    char32_t codepoint;
    double advance, italic, height, depth;
};

// The font's ascent and descent (in ems), which set the height of a line of its text.
double mathFontAscent(MathFont font);
double mathFontDescent(MathFont font);

// Null when the font has no measured glyph for the code point.
const MathGlyphMetrics* mathGlyphMetrics(MathFont font, char32_t codepoint);

// The parameters of one size (text, script, script-script), in ems of that size.
struct MathSizeParameters {
    double scale;  // of the formula's size
    double xHeight, quad;
    double num2, denom2;
    double sup2, sup3, sub1, sub2, supDrop, subDrop;
    double axisHeight, ruleThickness;
};

// 0: text, 1: script, 2: script-script.
const MathSizeParameters& mathSizeParameters(int size);

}  // namespace platform
