#include "platform/kits/MathTypesetter.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <utility>

#include "platform/foundation/Text.h"

namespace platform {
namespace {
// Names of this file's own; the folder is compiled eight files at a time.
namespace mathset {

// The classes of math atoms, which decide the spaces between neighbours.
enum class Atom : std::uint8_t { ord, op, bin, rel, open, close, punct, inner };

// The space between two atoms in mu (thin 3, medium 4, thick 5); negative values apply in text
// size only, as their magnitude.
constexpr std::array<std::array<int, 8>, 8> kSpacing{{
    // ord  op  bin  rel open close punct inner
    {0, 3, -4, -5, 0, 0, 0, -3},      // ord
    {3, 3, 0, -5, 0, 0, 0, -3},       // op
    {-4, -4, 0, 0, -4, 0, 0, -4},     // bin
    {-5, -5, 0, 0, -5, 0, 0, -5},     // rel
    {0, 0, 0, 0, 0, 0, 0, 0},         // open
    {0, 3, -4, -5, 0, 0, 0, -3},      // close
    {-3, -3, 0, -3, -3, -3, -3, -3},  // punct
    {-3, 3, -4, -5, -3, 0, -3, -3},   // inner
}};

// The space the typesetting leaves after scripts, and beside a fraction, in ems of the formula.
constexpr double kScriptSpace = 0.05;
constexpr double kNullDelimiterSpace = 0.12;
// How closely a grown delimiter must cover its content (TeX's \delimiterfactor and
// \delimitershortfall).
constexpr double kDelimiterFactor = 0.901;
constexpr double kDelimiterShortfall = 0.5;
constexpr int kMaxDepth = 32;

struct Failure {};

struct Node;
using List = std::vector<Node>;

struct Node {
    enum class Kind : std::uint8_t { glyph, group, fraction, radical, delimited, space };
    Kind kind = Kind::glyph;
    Atom atom = Atom::ord;
    MathFont font = MathFont::main;
    char32_t codepoint = 0;
    std::optional<RGBA> color;
    List body;   // a group's list, a numerator, a radicand, what delimiters enclose
    List other;  // a denominator, a root's index
    bool hasIndex = false;
    char32_t left = 0, right = 0;  // delimiters; '.' for none
    double space = 0;              // a space: in mu, or in ems of the formula
    bool inMu = false;
    bool hasSup = false, hasSub = false;
    List sup, sub;
};

Node glyphNode(MathFont font, char32_t codepoint, Atom atom, std::optional<RGBA> color) {
    Node n;
    n.font = font;
    n.codepoint = codepoint;
    n.atom = atom;
    n.color = color;
    return n;
}

Node spaceNode(double space, bool inMu) {
    Node n;
    n.kind = Node::Kind::space;
    n.space = space;
    n.inMu = inMu;
    return n;
}

struct Symbol {
    std::string_view name;
    MathFont font;
    char32_t codepoint;
    Atom atom;
};

// Commands that stand for one glyph.
constexpr Symbol kSymbols[] = {
    {"alpha", MathFont::mathItalic, 0x3B1, Atom::ord},
    {"beta", MathFont::mathItalic, 0x3B2, Atom::ord},
    {"gamma", MathFont::mathItalic, 0x3B3, Atom::ord},
    {"delta", MathFont::mathItalic, 0x3B4, Atom::ord},
    {"epsilon", MathFont::mathItalic, 0x3F5, Atom::ord},
    {"varepsilon", MathFont::mathItalic, 0x3B5, Atom::ord},
    {"zeta", MathFont::mathItalic, 0x3B6, Atom::ord},
    {"eta", MathFont::mathItalic, 0x3B7, Atom::ord},
    {"theta", MathFont::mathItalic, 0x3B8, Atom::ord},
    {"vartheta", MathFont::mathItalic, 0x3D1, Atom::ord},
    {"iota", MathFont::mathItalic, 0x3B9, Atom::ord},
    {"kappa", MathFont::mathItalic, 0x3BA, Atom::ord},
    {"lambda", MathFont::mathItalic, 0x3BB, Atom::ord},
    {"mu", MathFont::mathItalic, 0x3BC, Atom::ord},
    {"nu", MathFont::mathItalic, 0x3BD, Atom::ord},
    {"xi", MathFont::mathItalic, 0x3BE, Atom::ord},
    {"pi", MathFont::mathItalic, 0x3C0, Atom::ord},
    {"varpi", MathFont::mathItalic, 0x3D6, Atom::ord},
    {"rho", MathFont::mathItalic, 0x3C1, Atom::ord},
    {"varrho", MathFont::mathItalic, 0x3F1, Atom::ord},
    {"sigma", MathFont::mathItalic, 0x3C3, Atom::ord},
    {"varsigma", MathFont::mathItalic, 0x3C2, Atom::ord},
    {"tau", MathFont::mathItalic, 0x3C4, Atom::ord},
    {"upsilon", MathFont::mathItalic, 0x3C5, Atom::ord},
    {"phi", MathFont::mathItalic, 0x3D5, Atom::ord},
    {"varphi", MathFont::mathItalic, 0x3C6, Atom::ord},
    {"chi", MathFont::mathItalic, 0x3C7, Atom::ord},
    {"psi", MathFont::mathItalic, 0x3C8, Atom::ord},
    {"omega", MathFont::mathItalic, 0x3C9, Atom::ord},
    {"Gamma", MathFont::main, 0x393, Atom::ord},
    {"Delta", MathFont::main, 0x394, Atom::ord},
    {"Theta", MathFont::main, 0x398, Atom::ord},
    {"Lambda", MathFont::main, 0x39B, Atom::ord},
    {"Xi", MathFont::main, 0x39E, Atom::ord},
    {"Pi", MathFont::main, 0x3A0, Atom::ord},
    {"Sigma", MathFont::main, 0x3A3, Atom::ord},
    {"Upsilon", MathFont::main, 0x3A5, Atom::ord},
    {"Phi", MathFont::main, 0x3A6, Atom::ord},
    {"Psi", MathFont::main, 0x3A8, Atom::ord},
    {"Omega", MathFont::main, 0x3A9, Atom::ord},
    {"infty", MathFont::main, 0x221E, Atom::ord},
    {"partial", MathFont::main, 0x2202, Atom::ord},
    {"angle", MathFont::main, 0x2220, Atom::ord},
    {"prime", MathFont::main, 0x2032, Atom::ord},
    {"ldots", MathFont::main, 0x2026, Atom::inner},
    {"cdots", MathFont::main, 0x22EF, Atom::inner},
    {"vert", MathFont::main, 0x2223, Atom::ord},
    {"cdot", MathFont::main, 0x22C5, Atom::bin},
    {"times", MathFont::main, 0xD7, Atom::bin},
    {"div", MathFont::main, 0xF7, Atom::bin},
    {"pm", MathFont::main, 0xB1, Atom::bin},
    {"mp", MathFont::main, 0x2213, Atom::bin},
    {"ast", MathFont::main, 0x2217, Atom::bin},
    {"circ", MathFont::main, 0x2218, Atom::bin},
    {"le", MathFont::main, 0x2264, Atom::rel},
    {"leq", MathFont::main, 0x2264, Atom::rel},
    {"ge", MathFont::main, 0x2265, Atom::rel},
    {"geq", MathFont::main, 0x2265, Atom::rel},
    {"approx", MathFont::main, 0x2248, Atom::rel},
    {"equiv", MathFont::main, 0x2261, Atom::rel},
    {"sim", MathFont::main, 0x223C, Atom::rel},
    {"to", MathFont::main, 0x2192, Atom::rel},
    {"rightarrow", MathFont::main, 0x2192, Atom::rel},
    {"leftarrow", MathFont::main, 0x2190, Atom::rel},
    {"gets", MathFont::main, 0x2190, Atom::rel},
    {"Rightarrow", MathFont::main, 0x21D2, Atom::rel},
    {"in", MathFont::main, 0x2208, Atom::rel},
    {"mid", MathFont::main, 0x2223, Atom::rel},
    {"lbrack", MathFont::main, '[', Atom::open},
    {"rbrack", MathFont::main, ']', Atom::close},
    {"lbrace", MathFont::main, '{', Atom::open},
    {"rbrace", MathFont::main, '}', Atom::close},
    {"langle", MathFont::main, 0x27E8, Atom::open},
    {"rangle", MathFont::main, 0x27E9, Atom::close},
    {"{", MathFont::main, '{', Atom::open},
    {"}", MathFont::main, '}', Atom::close},
    {"%", MathFont::main, '%', Atom::ord},
    {"#", MathFont::main, '#', Atom::ord},
    {"&", MathFont::main, '&', Atom::ord},
    {"$", MathFont::main, '$', Atom::ord},
    {"_", MathFont::main, '_', Atom::ord},
};

// Spaces: in mu when `inMu`, else in ems of the formula.
struct Space {
    std::string_view name;
    double amount;
    bool inMu;
};
constexpr Space kSpaces[] = {
    {"quad", 1, false},
    {"qquad", 2, false},
    {";", 5, true},
    {":", 4, true},
    {">", 4, true},
    {",", 3, true},
    {"!", -3, true},
    {" ", 0.25, false},
    {"enspace", 0.5, false},
    {"thinspace", 3, true},
    {"medspace", 4, true},
    {"thickspace", 5, true},
    {"negthinspace", -3, true},
};

// Operators set upright as words.
constexpr std::string_view kOperators[] = {
    "log", "ln",   "lg",   "exp",  "sin",    "cos",    "tan",    "cot", "sec",
    "csc", "sinh", "cosh", "tanh", "arcsin", "arccos", "arctan", "min", "max",
    "det", "gcd",  "lim",  "arg",  "deg",    "dim",    "ker",    "sup", "inf",
};

// Characters typed directly in math.
struct CharacterClass {
    char32_t character;
    char32_t codepoint;
    Atom atom;
};
constexpr CharacterClass kCharacters[] = {
    {'+', '+', Atom::bin},       {'-', 0x2212, Atom::bin},    {'*', 0x2217, Atom::bin},
    {'=', '=', Atom::rel},       {'<', '<', Atom::rel},       {'>', '>', Atom::rel},
    {':', ':', Atom::rel},       {',', ',', Atom::punct},     {';', ';', Atom::punct},
    {'.', '.', Atom::ord},       {'/', '/', Atom::ord},       {'|', 0x2223, Atom::ord},
    {'!', '!', Atom::close},     {'?', '?', Atom::close},     {'(', '(', Atom::open},
    {')', ')', Atom::close},     {'[', '[', Atom::open},      {']', ']', Atom::close},
    {'@', '@', Atom::ord},       {0xB7, 0x22C5, Atom::bin},   {0xD7, 0xD7, Atom::bin},
    {0xF7, 0xF7, Atom::bin},     {0xB1, 0xB1, Atom::bin},     {0x2212, 0x2212, Atom::bin},
    {0x22C5, 0x22C5, Atom::bin}, {0x2264, 0x2264, Atom::rel}, {0x2265, 0x2265, Atom::rel},
    {0x2248, 0x2248, Atom::rel}, {0x2261, 0x2261, Atom::rel}, {0x2192, 0x2192, Atom::rel},
    {0x221E, 0x221E, Atom::ord},
};

// Delimiters that \left and \right accept, by what follows them.
struct Delimiter {
    std::string_view name;
    char32_t codepoint;
};
constexpr Delimiter kDelimiters[] = {
    {"(", '('},           {")", ')'},           {"[", '['},        {"]", ']'},
    {"\\{", '{'},         {"\\}", '}'},         {"\\lbrace", '{'}, {"\\rbrace", '}'},
    {"\\lbrack", '['},    {"\\rbrack", ']'},    {"|", 0x2223},     {"\\vert", 0x2223},
    {"\\langle", 0x27E8}, {"\\rangle", 0x27E9}, {".", '.'},
};

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Reads the source into lists of nodes; throws Failure where the page's typesetting refuses it.
class Parser {
  public:
    explicit Parser(std::string_view source) : s_(source) {}

    List parseAll() { return list(Stop::end); }

  private:
    enum class Stop { end, brace, right };

    struct Nesting {
        explicit Nesting(int& depth) : depth_(depth) {
            if (++depth_ > kMaxDepth) throw Failure{};
        }
        ~Nesting() { --depth_; }
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;
        int& depth_;
    };

    bool atEnd() const { return i_ >= s_.size(); }

    void skipSpaces() {
        while (!atEnd() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
            ++i_;
    }

    bool atCommand(std::string_view name) const {
        if (s_[i_] != '\\' || !s_.substr(i_ + 1).starts_with(name)) return false;
        const auto after = i_ + 1 + name.size();
        return after >= s_.size() || !isLetter(s_[after]);
    }

    // A control sequence after its backslash: a word (the blanks after it are skipped) or one
    // character.
    std::string_view commandName() {
        ++i_;  // the backslash
        if (atEnd()) throw Failure{};
        const auto start = i_;
        if (isLetter(s_[i_])) {
            while (!atEnd() && isLetter(s_[i_]))
                ++i_;
            const auto name = s_.substr(start, i_ - start);
            skipSpaces();
            return name;
        }
        const auto decoded = decodeUTF8(s_, i_);
        i_ += decoded.length;
        return s_.substr(start, decoded.length);
    }

    List list(Stop stop) {
        Nesting nesting(depth_);
        const auto savedColor = color_;
        List out;
        for (;;) {
            skipSpaces();
            if (atEnd()) {
                if (stop != Stop::end) throw Failure{};
                break;
            }
            const char c = s_[i_];
            if (c == '}') {
                if (stop != Stop::brace) throw Failure{};
                ++i_;
                break;
            }
            if (stop == Stop::right && atCommand("right")) break;
            if (c == '^' || c == '_') {
                ++i_;
                script(out, c == '^');
            } else if (c == '\'') {
                ++i_;
                prime(out);
            } else {
                item(out);
            }
        }
        color_ = savedColor;
        return out;
    }

    Node& base(List& out) {
        if (out.empty() || out.back().kind == Node::Kind::space) {
            Node empty;
            empty.kind = Node::Kind::group;
            out.push_back(std::move(empty));
        }
        return out.back();
    }

    void script(List& out, bool isSup) {
        List argument = this->argument();
        Node& b = base(out);
        bool& has = isSup ? b.hasSup : b.hasSub;
        if (has) throw Failure{};  // a double superscript or subscript
        has = true;
        (isSup ? b.sup : b.sub) = std::move(argument);
    }

    void prime(List& out) {
        Node& b = base(out);
        const bool onlyPrimes = std::all_of(b.sup.begin(), b.sup.end(), [](const Node& n) {
            return n.kind == Node::Kind::glyph && n.codepoint == 0x2032;
        });
        if (b.hasSup && !onlyPrimes) throw Failure{};
        b.hasSup = true;
        b.sup.push_back(glyphNode(MathFont::main, 0x2032, Atom::ord, color_));
    }

    // One argument: a braced group or a single token.
    List argument() {
        skipSpaces();
        if (atEnd()) throw Failure{};
        const char c = s_[i_];
        if (c == '{') {
            ++i_;
            return list(Stop::brace);
        }
        if (c == '}' || c == '^' || c == '_') throw Failure{};
        List out;
        Nesting nesting(depth_);
        item(out);
        return out;
    }

    std::string rawGroup() {
        skipSpaces();
        if (atEnd() || s_[i_] != '{') throw Failure{};
        const auto close = s_.find('}', i_);
        if (close == std::string_view::npos) throw Failure{};
        std::string text(s_.substr(i_ + 1, close - i_ - 1));
        i_ = close + 1;
        return text;
    }

    std::optional<RGBA> colorArgument() {
        const std::string name = rawGroup();
        std::string_view n = name;
        while (!n.empty() && n.front() == ' ')
            n.remove_prefix(1);
        while (!n.empty() && n.back() == ' ')
            n.remove_suffix(1);
        const bool hex = n.starts_with('#');
        const auto body = hex ? n.substr(1) : n;
        const bool allHex = !body.empty() && std::all_of(body.begin(), body.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c));
        });
        const bool allLetters = !n.empty() && std::all_of(n.begin(), n.end(), isLetter);
        if (!(hex ? allHex && (body.size() == 3 || body.size() == 6)
                  : allLetters || (allHex && body.size() == 6)))
            throw Failure{};  // the page refuses a malformed colour
        if (auto color = mathColorNamed(n)) return color;
        return color_;
    }

    void item(List& out) {
        const char c = s_[i_];
        if (c == '{') {
            ++i_;
            Node group;
            group.kind = Node::Kind::group;
            group.color = color_;
            group.body = list(Stop::brace);
            out.push_back(std::move(group));
            return;
        }
        if (c == '\\') return command(out);
        if (c == '%') {
            const auto end = s_.find('\n', i_);
            i_ = end == std::string_view::npos ? s_.size() : end + 1;
            return;
        }
        if (c == '&' || c == '#' || c == '$') throw Failure{};
        if (c == '~') {
            ++i_;
            out.push_back(spaceNode(0.25, false));
            return;
        }
        const auto decoded = decodeUTF8(s_, i_);
        if (!decoded.valid) throw Failure{};
        i_ += decoded.length;
        out.push_back(character(decoded.codePoint));
    }

    Node character(char32_t c) const {
        if (c < 0x80 && isLetter(static_cast<char>(c)))
            return glyphNode(upright_ ? MathFont::main : MathFont::mathItalic, c, Atom::ord,
                             color_);
        if (c >= '0' && c <= '9') return glyphNode(MathFont::main, c, Atom::ord, color_);
        for (const auto& k : kCharacters)
            if (k.character == c) return glyphNode(MathFont::main, k.codepoint, k.atom, color_);
        if (mathGlyphMetrics(MathFont::mathItalic, c))
            return glyphNode(MathFont::mathItalic, c, Atom::ord, color_);
        // Anything else stands as an ordinary symbol of the main font (measured roughly when
        // the font does not have it).
        return glyphNode(MathFont::main, c, Atom::ord, color_);
    }

    void command(List& out) {
        const auto name = commandName();
        for (const auto& symbol : kSymbols) {
            if (symbol.name == name) {
                out.push_back(glyphNode(symbol.font, symbol.codepoint, symbol.atom, color_));
                return;
            }
        }
        for (const auto& space : kSpaces) {
            if (space.name == name) {
                out.push_back(spaceNode(space.amount, space.inMu));
                return;
            }
        }
        for (const auto op : kOperators) {
            if (op == name) {
                Node node;
                node.kind = Node::Kind::group;
                node.atom = Atom::op;
                node.color = color_;
                for (const char letter : op)
                    node.body.push_back(glyphNode(MathFont::main, letter, Atom::ord, color_));
                out.push_back(std::move(node));
                return;
            }
        }
        if (name == "frac" || name == "tfrac" || name == "dfrac") return fraction(out);
        if (name == "sqrt") return radical(out);
        if (name == "left") return delimited(out);
        if (name == "text" || name == "textrm" || name == "mbox") return text(out);
        if (name == "mathrm" || name == "operatorname") {
            const bool saved = upright_;
            upright_ = true;
            Node group;
            group.kind = Node::Kind::group;
            group.atom = name == "operatorname" ? Atom::op : Atom::ord;
            group.color = color_;
            group.body = argument();
            upright_ = saved;
            out.push_back(std::move(group));
            return;
        }
        if (name == "color") {
            // Colours the rest of the enclosing group.
            color_ = colorArgument();
            return;
        }
        if (name == "textcolor") {
            const auto saved = color_;
            color_ = colorArgument();
            Node group;
            group.kind = Node::Kind::group;
            group.color = color_;
            group.body = argument();
            color_ = saved;
            out.push_back(std::move(group));
            return;
        }
        throw Failure{};  // unknown to the page's typesetting too
    }

    void fraction(List& out) {
        Node node;
        node.kind = Node::Kind::fraction;
        node.color = color_;
        node.body = argument();
        node.other = argument();
        out.push_back(std::move(node));
    }

    void radical(List& out) {
        Node node;
        node.kind = Node::Kind::radical;
        node.color = color_;
        skipSpaces();
        if (!atEnd() && s_[i_] == '[') {
            // The index runs to the first ']' outside braces.
            std::size_t j = i_ + 1;
            int depth = 0;
            while (j < s_.size() && (s_[j] != ']' || depth > 0)) {
                if (s_[j] == '{') ++depth;
                if (s_[j] == '}') --depth;
                if (s_[j] == '\\') ++j;
                ++j;
            }
            if (j >= s_.size()) throw Failure{};
            Parser inner(s_.substr(i_ + 1, j - i_ - 1));
            inner.depth_ = depth_;
            inner.color_ = color_;
            node.other = inner.list(Stop::end);
            node.hasIndex = true;
            i_ = j + 1;
        }
        node.body = argument();
        out.push_back(std::move(node));
    }

    char32_t delimiter() {
        skipSpaces();
        for (const auto& d : kDelimiters) {
            if (s_.compare(i_, d.name.size(), d.name) != 0) continue;
            const auto after = i_ + d.name.size();
            if (d.name.size() > 2 && after < s_.size() && isLetter(s_[after])) continue;
            i_ = after;
            return d.codepoint;
        }
        throw Failure{};
    }

    void delimited(List& out) {
        Node node;
        node.kind = Node::Kind::delimited;
        node.atom = Atom::inner;
        node.color = color_;
        node.left = delimiter();
        node.body = list(Stop::right);
        if (!atCommand("right")) throw Failure{};
        commandName();
        node.right = delimiter();
        out.push_back(std::move(node));
    }

    // \text{...}: upright glyphs and word spaces.
    void text(List& out) {
        skipSpaces();
        if (atEnd() || s_[i_] != '{') throw Failure{};
        ++i_;
        Node group;
        group.kind = Node::Kind::group;
        group.color = color_;
        Nesting nesting(depth_);
        int depth = 1;
        bool spaced = false;
        while (true) {
            if (atEnd()) throw Failure{};
            const char c = s_[i_];
            if (c == '}' && --depth == 0) {
                ++i_;
                break;
            }
            if (c == '{' || c == '}') {
                if (c == '{') ++depth;
                ++i_;
                continue;
            }
            if (c == ' ' || c == '\n' || c == '\t' || c == '~') {
                ++i_;
                if (!spaced || c == '~') group.body.push_back(spaceNode(0.25, false));
                spaced = c != '~';
                continue;
            }
            spaced = false;
            if (c == '^' || c == '_' || c == '&' || c == '#' || c == '$') throw Failure{};
            if (c == '\\') {
                const auto name = commandName();
                if (name == " ") {
                    group.body.push_back(spaceNode(0.25, false));
                    continue;
                }
                if (name.size() != 1 || std::string_view("%#&$_{}").find(name) == name.npos)
                    throw Failure{};
                group.body.push_back(glyphNode(MathFont::main, name[0], Atom::ord, color_));
                continue;
            }
            const auto decoded = decodeUTF8(s_, i_);
            if (!decoded.valid) throw Failure{};
            i_ += decoded.length;
            char32_t cp = decoded.codePoint;
            if (cp == '\'') cp = 0x2019;
            if (cp == '`') cp = 0x2018;
            group.body.push_back(glyphNode(MathFont::main, cp, Atom::ord, color_));
        }
        out.push_back(std::move(group));
    }

    std::string_view s_;
    std::size_t i_ = 0;
    int depth_ = 0;
    std::optional<RGBA> color_;
    bool upright_ = false;
};

// A laid-out piece: its extent about its baseline and what it draws, placed from its left end
// (y grows downwards from the baseline).
struct Box {
    double width = 0, height = 0, depth = 0;
    // The fonts of the glyphs set on the line itself (a bit per font), which the page's line
    // box makes room for.
    unsigned lineFonts = 0;
    std::vector<MathGlyph> glyphs;
    std::vector<MathRule> rules;

    // Draws `piece` with its origin at (x, -up) of this box; extents are left to the caller.
    void place(Box&& piece, double x, double up) {
        for (auto& g : piece.glyphs) {
            g.x += x;
            g.y -= up;
            glyphs.push_back(std::move(g));
        }
        for (auto& r : piece.rules) {
            r.x += x;
            r.y -= up;
            rules.push_back(std::move(r));
        }
    }
};

// The size a list is set in (0 text, 1 script, 2 script-script) and whether it is cramped
// (raised less: radicands, denominators, subscripts).
struct Style {
    int size = 0;
    bool cramped = false;
    Style smaller(bool crampIt) const { return {std::min(size + 1, 2), cramped || crampIt}; }
};

// Measures of a glyph the tables do not know: an average letter.
constexpr MathGlyphMetrics kUnknownGlyph{0, 0.6, 0, 0.7, 0};

class Layouter {
  public:
    explicit Layouter(double em) : em_(em) {}

    Box formula(const List& list) { return layoutList(list, {}); }

    // The line box of a line of text in `font` at the formula's size, above and below the
    // baseline: the font's rounded ascent and descent with the stylesheet's line height of 1.2
    // (the leading shared out with its odd part below).
    std::pair<double, double> textLine(MathFont font) const {
        const double ascent = std::round(mathFontAscent(font) * em_);
        const double descent = std::round(mathFontDescent(font) * em_);
        const double leading = 1.2 * em_ - ascent - descent;
        const double above = std::floor(leading / 2);
        return {ascent + above, descent + leading - above};
    }

  private:
    struct Item {
        bool isSpace = false;
        Atom atom = Atom::ord;
        Box box;
    };

    const MathSizeParameters& params(Style s) const { return mathSizeParameters(s.size); }
    // One em of the style's size, in pixels.
    double emOf(Style s) const { return em_ * params(s).scale; }
    double muOf(Style s) const { return emOf(s) * params(s).quad / 18; }

    Box layoutList(const List& list, Style style) {
        auto items = itemsOf(list, style);
        return join(items, style);
    }

    std::vector<Item> itemsOf(const List& list, Style style) {
        std::vector<Item> items;
        items.reserve(list.size());
        for (const auto& node : list) {
            Item item;
            if (node.kind == Node::Kind::space) {
                item.isSpace = true;
                item.box.width = node.inMu ? node.space * muOf(style) : node.space * em_;
            } else if (node.kind == Node::Kind::delimited) {
                item.atom = Atom::inner;
                item.box = delimited(node, style);
                withScripts(node, style, item.box, false, 0);
            } else {
                item = atomOf(node, style);
            }
            items.push_back(std::move(item));
        }
        return items;
    }

    // Turns binary operators without two operands into ordinary atoms, then sets the atoms side
    // by side with the spaces their classes ask for.
    Box join(std::vector<Item>& items, Style style) {
        Item* previous = nullptr;
        for (auto& item : items) {
            if (item.isSpace) continue;
            if (item.atom == Atom::bin &&
                (!previous || previous->atom == Atom::bin || previous->atom == Atom::op ||
                 previous->atom == Atom::rel || previous->atom == Atom::open ||
                 previous->atom == Atom::punct))
                item.atom = Atom::ord;
            if (previous && previous->atom == Atom::bin &&
                (item.atom == Atom::rel || item.atom == Atom::close || item.atom == Atom::punct))
                previous->atom = Atom::ord;
            previous = &item;
        }
        if (previous && previous->atom == Atom::bin) previous->atom = Atom::ord;

        Box out;
        double x = 0;
        const Item* last = nullptr;
        for (auto& item : items) {
            if (item.isSpace) {
                x += item.box.width;
                continue;
            }
            if (last) x += spaceBetween(last->atom, item.atom, style);
            out.height = std::max(out.height, item.box.height);
            out.depth = std::max(out.depth, item.box.depth);
            out.lineFonts |= item.box.lineFonts;
            const double w = item.box.width;
            out.place(std::move(item.box), x, 0);
            x += w;
            last = &item;
        }
        out.width = x;
        return out;
    }

    double spaceBetween(Atom left, Atom right, Style style) const {
        const int mu = kSpacing[static_cast<int>(left)][static_cast<int>(right)];
        if (mu < 0 && style.size > 0) return 0;
        return std::abs(mu) * muOf(style);
    }

    // Whether the nucleus is a single glyph (braces around it do not count), whose scripts then
    // sit at their standard places whatever its height.
    static bool isCharacterBox(const Node& node) {
        if (node.kind == Node::Kind::glyph) return true;
        if (node.kind != Node::Kind::group || node.atom != Atom::ord || node.body.size() != 1)
            return false;
        const Node& inner = node.body.front();
        return !inner.hasSup && !inner.hasSub && isCharacterBox(inner);
    }

    Box glyphBox(const Node& node, Style style, double* italic) const {
        const auto* found = mathGlyphMetrics(node.font, node.codepoint);
        const MathGlyphMetrics& m = found ? *found : kUnknownGlyph;
        const double size = emOf(style);
        Box box;
        box.width = (m.advance + m.italic) * size;
        box.height = m.height * size;
        box.depth = m.depth * size;
        box.glyphs.push_back({node.font, node.codepoint, 0, 0, size, node.color});
        box.lineFonts = 1u << static_cast<unsigned>(node.font);
        if (italic) *italic = m.italic * size;
        return box;
    }

    Item atomOf(const Node& node, Style style) {
        Item item;
        item.atom = node.atom;
        double italic = 0;
        switch (node.kind) {
            case Node::Kind::glyph:
                item.box = glyphBox(node, style, &italic);
                break;
            case Node::Kind::group:
                item.box = layoutList(node.body, style);
                if (isCharacterBox(node)) {
                    // A braced single glyph keeps its italic correction for its scripts.
                    const Node* inner = &node;
                    while (inner->kind == Node::Kind::group)
                        inner = &inner->body.front();
                    glyphBox(*inner, style, &italic);
                }
                break;
            case Node::Kind::fraction:
                item.box = fraction(node, style);
                break;
            case Node::Kind::radical:
                item.box = radical(node, style);
                break;
            default:
                break;
        }
        // A subscript tucks under a slanted letter by its italic correction.
        const bool slanted =
            isCharacterBox(node) && italic > 0 && leafFont(node) == MathFont::mathItalic;
        withScripts(node, style, item.box, isCharacterBox(node), slanted ? italic : 0);
        return item;
    }

    static MathFont leafFont(const Node& node) {
        const Node* inner = &node;
        while (inner->kind == Node::Kind::group && !inner->body.empty())
            inner = &inner->body.front();
        return inner->font;
    }

    // Attaches the node's scripts to `box` (its nucleus).
    void withScripts(const Node& node, Style style, Box& box, bool characterBox, double italic) {
        if (!node.hasSup && !node.hasSub) return;
        const Style supStyle = style.smaller(false), subStyle = style.smaller(true);
        const auto& p = params(style);
        const double em = emOf(style);
        const double xHeight = p.xHeight * em, rule = p.ruleThickness * em;
        Box sup, sub;
        if (node.hasSup) sup = layoutList(node.sup, supStyle);
        if (node.hasSub) sub = layoutList(node.sub, subStyle);
        double u = 0, v = 0;
        if (!characterBox) {
            u = box.height - params(supStyle).supDrop * emOf(supStyle);
            v = box.depth + params(subStyle).subDrop * emOf(subStyle);
        }
        if (node.hasSup) {
            const double p2 = (style.cramped ? p.sup3 : p.sup2) * em;
            u = std::max({u, p2, sup.depth + xHeight / 4});
        }
        if (node.hasSub && !node.hasSup) {
            v = std::max({v, p.sub1 * em, sub.height - 0.8 * xHeight});
        } else if (node.hasSub) {
            v = std::max(v, p.sub2 * em);
            if ((u - sup.depth) - (sub.height - v) < 4 * rule) {
                v = 4 * rule - u + sup.depth + sub.height;
                const double psi = 0.8 * xHeight - (u - sup.depth);
                if (psi > 0) {
                    u += psi;
                    v -= psi;
                }
            }
        }
        const double supX = box.width, subX = box.width - italic;
        double right = box.width;
        if (node.hasSup) {
            box.height = std::max(box.height, u + sup.height);
            box.depth = std::max(box.depth, sup.depth - u);
            right = std::max(right, supX + sup.width);
            box.place(std::move(sup), supX, u);
        }
        if (node.hasSub) {
            box.height = std::max(box.height, sub.height - v);
            box.depth = std::max(box.depth, v + sub.depth);
            right = std::max(right, subX + sub.width);
            box.place(std::move(sub), subX, -v);
        }
        box.width = right + kScriptSpace * em_;
    }

    Box fraction(const Node& node, Style style) {
        Box num = layoutList(node.body, style.smaller(false));
        Box den = layoutList(node.other, style.smaller(true));
        const auto& p = params(style);
        const double em = emOf(style);
        const double rule = p.ruleThickness * em, axis = p.axisHeight * em;
        double u = p.num2 * em, v = p.denom2 * em;
        if (const double gap = (u - num.depth) - (axis + rule / 2); gap < rule) u += rule - gap;
        if (const double gap = (axis - rule / 2) - (den.height - v); gap < rule) v += rule - gap;
        const double side = kNullDelimiterSpace * em_;
        const double inner = std::max(num.width, den.width);
        Box box;
        box.width = inner + 2 * side;
        box.height = u + num.height;
        box.depth = v + den.depth;
        box.rules.push_back({side, -(axis + rule / 2), inner, rule, node.color});
        const double numX = side + (inner - num.width) / 2, denX = side + (inner - den.width) / 2;
        box.place(std::move(num), numX, u);
        box.place(std::move(den), denX, -v);
        return box;
    }

    struct Surd {
        MathFont font;
        double size;     // pixels
        double total;    // height and depth
        double advance;  // pixels
    };

    Box radical(const Node& node, Style style) {
        Box body = layoutList(node.body, {style.size, true});
        const double em = emOf(style);
        const double rule = 0.04 * em;
        if (body.height + body.depth <= 0) body.height = params(style).xHeight * em;
        double clearance = rule + rule / 4;
        const double needed = body.height + body.depth + clearance + rule;
        // The small sign grows with the style; the large ones are those of the formula's size.
        static constexpr std::pair<MathFont, double> kLarge[] = {{MathFont::size1, 1.2},
                                                                 {MathFont::size2, 1.8},
                                                                 {MathFont::size3, 2.4},
                                                                 {MathFont::size4, 3.0}};
        std::optional<Surd> surd;
        if (em * 1.0 >= needed) surd = Surd{MathFont::main, em, em, 0.833 * em};
        for (const auto& [font, total] : kLarge)
            if (!surd && total * em_ >= needed) surd = Surd{font, em_, total * em_, em_};
        const double total = surd ? surd->total : needed;
        const double advance = surd ? surd->advance : 1.056 * em_;
        const double signDepth = total - rule;
        if (signDepth > body.height + body.depth + clearance)
            clearance = (clearance + signDepth - body.height - body.depth) / 2;
        const double ruleTop = body.height + clearance + rule;

        Box box;
        box.width = advance + body.width;
        box.height = ruleTop + rule;
        box.depth = std::max(body.depth, total - ruleTop);
        if (surd) {
            const auto* m = mathGlyphMetrics(surd->font, 0x221A);
            const double height = (m ? m->height : 0.8) * surd->size;
            box.glyphs.push_back(
                {surd->font, 0x221A, 0, -(ruleTop - height), surd->size, node.color});
            box.rules.push_back({advance, -ruleTop, body.width, rule, node.color});
        } else {
            // A sign taller than the largest glyph: its foot, then a straight stem.
            const auto* foot = mathGlyphMetrics(MathFont::size4, 0x23B7);
            const double footTop = foot ? foot->height * em_ : 0.935 * em_;
            const double bottom = ruleTop - total;
            const double footUp = bottom + (foot ? foot->depth * em_ : 0.885 * em_);
            box.glyphs.push_back({MathFont::size4, 0x23B7, 0, -footUp, em_, node.color});
            const double stemX = 0.742 * em_ - rule;
            box.rules.push_back(
                {stemX, -ruleTop, rule, ruleTop - (footUp + footTop) + rule, node.color});
            box.rules.push_back({stemX, -ruleTop, box.width - stemX, rule, node.color});
        }
        box.place(std::move(body), advance, 0);
        if (!node.hasIndex) return box;

        // The index sits raised in the sign's crook: 5 mu in, then 10 mu back.
        Box index = layoutList(node.other, {2, false});
        const double raise = 0.6 * (box.height - box.depth);
        const double lead = 5 * muOf(style), back = 10 * muOf(style);
        Box out;
        out.height = std::max(box.height, raise + index.height);
        out.depth = std::max(box.depth, index.depth - raise);
        const double indexWidth = index.width;
        out.place(std::move(index), lead, raise);
        const double radicalX = lead + indexWidth - back;
        out.width = radicalX + box.width;
        out.place(std::move(box), radicalX, 0);
        return out;
    }

    // The pieces of a delimiter taller than its largest glyph (in the largest font), and where
    // the repeated piece's stroke lies across its width (in ems), which the straight parts follow.
    struct Stack {
        char32_t delimiter, top, middle, repeat, bottom;
        double strokeLeft, strokeRight;
    };
    static constexpr Stack kStacks[] = {
        {'(', 0x239B, 0, 0x239C, 0x239D, 0.291, 0.417},
        {')', 0x239E, 0, 0x239F, 0x23A0, 0.457, 0.583},
        {'[', 0x23A1, 0, 0x23A2, 0x23A3, 0.319, 0.403},
        {']', 0x23A4, 0, 0x23A5, 0x23A6, 0.263, 0.347},
        {'{', 0x23A7, 0x23A8, 0x23AA, 0x23A9, 0.384, 0.504},
        {'}', 0x23AB, 0x23AC, 0x23AA, 0x23AD, 0.384, 0.504},
    };

    // A delimiter at least `needed` tall, centred on the axis.
    Box delimiter(char32_t codepoint, double needed, Style style, std::optional<RGBA> color) {
        Box box;
        if (codepoint == '.') {
            box.width = kNullDelimiterSpace * em_;
            return box;
        }
        const double axis = params(style).axisHeight * emOf(style);
        const auto glyph = [&](MathFont font, double size) -> std::optional<Box> {
            const auto* m = mathGlyphMetrics(font, codepoint);
            if (!m || (size > 0 && (m->height + m->depth) * size <= needed)) return std::nullopt;
            if (size <= 0) size = em_;
            Box b;
            b.width = (m->advance + m->italic) * size;
            const double up = axis - (m->height - m->depth) * size / 2;
            b.height = m->height * size + up;
            b.depth = m->depth * size - up;
            b.glyphs.push_back({font, codepoint, 0, -up, size, color});
            b.lineFonts = 1u << static_cast<unsigned>(font);
            return b;
        };
        for (int s = style.size; s >= 0; --s)
            if (auto b = glyph(MathFont::main, em_ * mathSizeParameters(s).scale)) return *b;
        if (codepoint == 0x2223) return stacked(codepoint, needed, axis, color);
        for (MathFont font : {MathFont::size1, MathFont::size2, MathFont::size3, MathFont::size4})
            if (auto b = glyph(font, em_)) return *b;
        const bool stacks = std::any_of(std::begin(kStacks), std::end(kStacks),
                                        [&](const Stack& s) { return s.delimiter == codepoint; });
        if (stacks) return stacked(codepoint, needed, axis, color);
        // No pieces to build it from: the largest glyph.
        if (auto b = glyph(MathFont::size4, 0)) return *b;
        return glyph(MathFont::main, 0).value_or(Box{});
    }

    Box stacked(char32_t codepoint, double needed, double axis, std::optional<RGBA> color) {
        Box box;
        const Stack* stack = nullptr;
        for (const auto& s : kStacks)
            if (s.delimiter == codepoint) stack = &s;
        if (!stack) {
            // A bar (or a delimiter without pieces): one straight stroke.
            const double total = std::max(needed, em_);
            box.width = 0.333 * em_;
            box.height = axis + total / 2;
            box.depth = total / 2 - axis;
            box.rules.push_back({0.145 * em_, -box.height, 0.043 * em_, total, color});
            return box;
        }
        const auto metrics = [](char32_t c) {
            const auto* m = mathGlyphMetrics(MathFont::size4, c);
            return m ? *m : MathGlyphMetrics{c, 0.875, 0, 1.15, 0.65};
        };
        const auto top = metrics(stack->top), bottom = metrics(stack->bottom);
        const auto middle = stack->middle ? metrics(stack->middle) : MathGlyphMetrics{};
        const double pieces =
            (top.height + top.depth + bottom.height + bottom.depth + middle.height + middle.depth) *
            em_;
        const double total = std::max(needed, pieces);
        box.width = top.advance * em_;
        box.height = axis + total / 2;
        box.depth = total / 2 - axis;
        const double topY = -box.height, bottomY = box.depth;
        box.glyphs.push_back({MathFont::size4, stack->top, 0, topY + top.height * em_, em_, color});
        box.glyphs.push_back(
            {MathFont::size4, stack->bottom, 0, bottomY - bottom.depth * em_, em_, color});
        // The straight parts: strokes as wide as the repeated piece's.
        const double x = stack->strokeLeft * em_;
        const double w = (stack->strokeRight - stack->strokeLeft) * em_;
        const double from = topY + (top.height + top.depth) * em_;
        const double to = bottomY - (bottom.height + bottom.depth) * em_;
        if (stack->middle) {
            const double midTop = -axis - (middle.height + middle.depth) * em_ / 2;
            box.glyphs.push_back(
                {MathFont::size4, stack->middle, 0, midTop + middle.height * em_, em_, color});
            const double midBottom = midTop + (middle.height + middle.depth) * em_;
            if (midTop > from) box.rules.push_back({x, from, w, midTop - from, color});
            if (to > midBottom) box.rules.push_back({x, midBottom, w, to - midBottom, color});
        } else if (to > from) {
            box.rules.push_back({x, from, w, to - from, color});
        }
        return box;
    }

    Box delimited(const Node& node, Style style) {
        auto items = itemsOf(node.body, style);
        double height = 0, depth = 0;
        for (const auto& item : items) {
            if (item.isSpace) continue;
            height = std::max(height, item.box.height);
            depth = std::max(depth, item.box.depth);
        }
        const double axis = params(style).axisHeight * emOf(style);
        const double reach = std::max(height - axis, depth + axis);
        const double needed =
            std::max(reach * 2 * kDelimiterFactor, 2 * reach - kDelimiterShortfall * em_);
        Item open, close;
        open.atom = Atom::open;
        open.box = delimiter(node.left, needed, style, node.color);
        close.atom = Atom::close;
        close.box = delimiter(node.right, needed, style, node.color);
        items.insert(items.begin(), std::move(open));
        items.push_back(std::move(close));
        return join(items, style);
    }

    double em_;
};

struct NamedColor {
    std::string_view name;
    std::uint32_t rgb;
};
// The colour names of the page's stylesheet language that a step may use.
constexpr NamedColor kNamedColors[] = {
    {"black", 0x000000},   {"white", 0xFFFFFF},   {"red", 0xFF0000},       {"green", 0x008000},
    {"blue", 0x0000FF},    {"yellow", 0xFFFF00},  {"orange", 0xFFA500},    {"purple", 0x800080},
    {"gray", 0x808080},    {"grey", 0x808080},    {"brown", 0xA52A2A},     {"pink", 0xFFC0CB},
    {"cyan", 0x00FFFF},    {"magenta", 0xFF00FF}, {"lime", 0x00FF00},      {"navy", 0x000080},
    {"teal", 0x008080},    {"maroon", 0x800000},  {"olive", 0x808000},     {"silver", 0xC0C0C0},
    {"aqua", 0x00FFFF},    {"fuchsia", 0xFF00FF}, {"darkgreen", 0x006400}, {"darkblue", 0x00008B},
    {"darkred", 0x8B0000}, {"gold", 0xFFD700},
};

RGBA rgbOf(std::uint32_t rgb) {
    return {((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0, 1};
}

// The monospaced font's line (DejaVu Sans Mono at kMathSourceFontSize), above and below.
constexpr double kSourceAscent = 11, kSourceDescent = 3;

}  // namespace mathset
}  // namespace

std::optional<RGBA> mathColorNamed(std::string_view name) {
    std::string lower = asciiLowercase(name);
    std::string_view n = lower;
    const bool hash = n.starts_with('#');
    if (hash) n.remove_prefix(1);
    const bool hex = !n.empty() && std::all_of(n.begin(), n.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c));
    });
    if (hex && n.size() == 6)
        return mathset::rgbOf(
            static_cast<std::uint32_t>(std::stoul(lower.substr(lower.size() - 6), nullptr, 16)));
    if (hash && hex && n.size() == 3) {
        std::uint32_t rgb = 0;
        for (char c : n) {
            const auto v = static_cast<std::uint32_t>(std::stoul(std::string(1, c), nullptr, 16));
            rgb = (rgb << 8) | (v * 17);
        }
        return mathset::rgbOf(rgb);
    }
    if (hash) return std::nullopt;
    for (const auto& named : mathset::kNamedColors)
        if (named.name == n) return mathset::rgbOf(named.rgb);
    return std::nullopt;
}

double MathLayout::baselineIn(double height) const {
    return (height - lineHeight()) / 2 + lineAbove;
}

MathLayout typesetMath(std::string_view latex, double size) {
    MathLayout layout;
    layout.size = size;
    const auto asSource = [&] {
        MathLayout plain;
        plain.size = size;
        plain.source = toValidUTF8(latex);
        plain.width = static_cast<double>(codePointCount(*plain.source)) * kMathSourceAdvance *
                      kMathSourceFontSize;
        plain.ascent = plain.lineAbove = mathset::kSourceAscent;
        plain.descent = plain.lineBelow = mathset::kSourceDescent;
        return plain;
    };
    if (latex.size() > kMathSourceLimit || !(size > 0) || !std::isfinite(size)) return asSource();
    mathset::List list;
    try {
        list = mathset::Parser(latex).parseAll();
    } catch (const mathset::Failure&) {
        return asSource();
    }
    mathset::Layouter layouter(size);
    mathset::Box box = layouter.formula(list);
    layout.lineAbove = box.height;
    layout.lineBelow = box.depth;
    const unsigned fonts = box.lineFonts | 1u << static_cast<unsigned>(MathFont::main);
    for (unsigned f = 0; f <= static_cast<unsigned>(MathFont::size4); ++f) {
        if (!(fonts & (1u << f))) continue;
        const auto [above, below] = layouter.textLine(static_cast<MathFont>(f));
        layout.lineAbove = std::max(layout.lineAbove, above);
        layout.lineBelow = std::max(layout.lineBelow, below);
    }
    // Negative spaces can pull the end before the start; the page then shows no width at all.
    layout.width = std::max(0.0, box.width);
    layout.ascent = box.height;
    layout.descent = box.depth;
    layout.glyphs = std::move(box.glyphs);
    layout.rules = std::move(box.rules);
    return layout;
}

}  // namespace platform
