#pragma once
// Typesets the LaTeX of the app's formulas as the page's typesetting (KaTeX in the browser) sets
// them in a line of text: the same glyphs of the same fonts in the same places. A label thus
// knows the true size of its formula, and the shared image draws it with nothing else to load.
// It reads what the app's steps use (numbers, letters, \log with scripts, \left( \right) grown
// to their content, \cdot, \frac, ^{...}, _{...}, \sqrt and \sqrt[n], \pi, \infty, the spaces,
// \le, \{ \}, \color, \text) and the common commands around them. A source it cannot read (an
// unknown command, unbalanced braces, an unmatched \left) is shown as itself in a small
// monospaced font, as the page shows what its typesetting refuses. Bounded: a source longer
// than kMathSourceLimit bytes or nested deeper than 32 groups is shown as its source too.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kits/MathMetrics.h"
#include "platform/ui/UIColor.h"

namespace platform {

// Formulas are set at 1.21 times the font size of their label, as the page's stylesheet does.
inline constexpr double kMathScale = 1.21;
// A source that cannot be typeset shows in red, in a monospaced font of this size.
inline constexpr double kMathSourceFontSize = 12;
// The advance of one character of that font (DejaVu Sans Mono, the browser's monospace), in ems.
inline constexpr double kMathSourceAdvance = 1233.0 / 2048;
inline constexpr std::size_t kMathSourceLimit = 10000;

struct MathGlyph {
    MathFont font;
    char32_t codepoint;
    double x, y;  // the glyph's origin: x from the formula's left, y below its baseline
    double size;  // font size in pixels
    std::optional<RGBA> color;  // set by \color; otherwise the label's colour
    bool operator==(const MathGlyph&) const = default;
};

// A filled rectangle: fraction bars, radical bars, the straight parts of tall delimiters.
struct MathRule {
    double x, y, width, height;  // y: the top edge, below the baseline (above it when negative)
    std::optional<RGBA> color;
    bool operator==(const MathRule&) const = default;
};

struct MathLayout {
    double size = 0;                            // the em, in pixels
    double width = 0, ascent = 0, descent = 0;  // pixels, about the baseline
    // The line that holds the formula on the page, above and below the baseline: at least a
    // line of text in each font the formula sets at its own level (not in scripts or fractions).
    double lineAbove = 0, lineBelow = 0;
    std::vector<MathGlyph> glyphs;
    std::vector<MathRule> rules;
    // The source, when it could not be typeset: it is shown as plain text instead.
    std::optional<std::string> source;

    double lineHeight() const { return lineAbove + lineBelow; }
    // Where the baseline lies in a box of `height` that centres that line, as the page does.
    double baselineIn(double height) const;
};

// Typesets `latex` with an em of `size` pixels (the label's font size times kMathScale).
MathLayout typesetMath(std::string_view latex, double size);

// The colour a \color argument names ("red", "#f00", "#ff0000", "ff0000"); nullopt for a name
// the typesetting does not know, which leaves the colour as it was.
std::optional<RGBA> mathColorNamed(std::string_view name);

}  // namespace platform
