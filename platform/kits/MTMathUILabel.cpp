#include "platform/kits/MTMathUILabel.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace platform {

namespace {

// Widths in em of the typeset formula, walked over the LaTeX source: a group's width is the sum
// of its parts; scripts are set at 0.7, fractions at the wider of numerator and denominator.
class LatexWidth {
  public:
    explicit LatexWidth(std::string_view source) : s_(source) {}
    double all() { return sequence('\0'); }

  private:
    double sequence(char end) {
        double width = 0;
        while (i_ < s_.size() && s_[i_] != end)
            width += atom();
        if (i_ < s_.size()) ++i_;  // the closing brace
        return width;
    }
    // One argument: a braced group or a single character or command.
    double argument() {
        skipBlanks();
        if (i_ < s_.size() && s_[i_] == '{') {
            ++i_;
            return sequence('}');
        }
        return i_ < s_.size() ? atom() : 0;
    }
    std::string_view skipGroup() {
        skipBlanks();
        if (i_ >= s_.size() || s_[i_] != '{') return {};
        const auto start = ++i_;
        int depth = 1;
        while (i_ < s_.size() && depth > 0) {
            if (s_[i_] == '{') ++depth;
            if (s_[i_] == '}') --depth;
            ++i_;
        }
        return s_.substr(start, i_ - start - 1);
    }
    void skipBlanks() {
        while (i_ < s_.size() && s_[i_] == ' ')
            ++i_;
    }
    double command() {
        const auto start = ++i_;
        while (i_ < s_.size() && std::isalpha(static_cast<unsigned char>(s_[i_])))
            ++i_;
        if (i_ == start && i_ < s_.size()) ++i_;  // a one-character command: "\;", "\,"
        const auto name = s_.substr(start, i_ - start);
        if (name == "frac") {
            const double top = argument(), bottom = argument();
            return std::max(top, bottom) * 0.75 + 0.25;
        }
        if (name == "sqrt") {
            double index = 0;
            if (i_ < s_.size() && s_[i_] == '[') {
                const auto close = s_.find(']', i_);
                LatexWidth inner(s_.substr(i_ + 1, close == std::string_view::npos
                                                       ? std::string_view::npos
                                                       : close - i_ - 1));
                index = inner.all() * 0.6;
                i_ = close == std::string_view::npos ? s_.size() : close + 1;
            }
            return index + 1.0 + argument();
        }
        if (name == "color") {
            skipGroup();
            return 0;
        }
        if (name == "text" || name == "mathrm") return skipGroup().size() * 0.55;
        if (name == "left" || name == "right") {
            if (i_ < s_.size()) ++i_;  // the delimiter
            return 0.5;
        }
        if (name == "quad") return 1;
        if (name == ";" || name == "," || name == ":" || name == "!") return 0.3;
        if (name == "cdot" || name == "pi" || name == "infty") return 1;
        if (name == "log" || name == "ln") return 1.5;
        return 0.8;
    }
    double atom() {
        const char c = s_[i_];
        if (c == '\\') return command();
        if (c == '{') {
            ++i_;
            return sequence('}');
        }
        ++i_;
        if (c == '_' || c == '^') return argument() * 0.7;
        if (c == ' ') return 0;
        if (c == '=' || c == '+' || c == '-' || c == '<' || c == '>') return 1.2;
        // One character, counted once for all the bytes of its code.
        if ((static_cast<unsigned char>(c) & 0xC0) == 0x80) return 0;
        return 0.6;
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

// The browser's typesetting sets math at 1.21 times the label's font size.
constexpr double kTypesetScale = 1.21;

}  // namespace

CGSize MTMathUILabel::sizeThatFits(CGSize size) const {
    const double em = fontSize * kTypesetScale;
    return {LatexWidth(latex_).all() * em * 1.1, std::max(size.height, em * 1.5)};
}

void MTMathUILabel::draw(CGContext& ctx, CGRect rect) const {
    if (!latex_.empty()) ctx.drawLatex(latex_, rect, textColor);
}

void MTMathUILabel::describe(ViewDescription& d) const {
    UIView::describe(d);
    d.latex = latex_;
    d.color = textColor;
}

}  // namespace platform
