#include "platform/foundation/StringsFile.h"

#include <algorithm>
#include <cstdint>

#include "platform/foundation/Text.h"

namespace platform {

namespace {

struct SimpleEscape {
    char letter;
    char value;
};
constexpr SimpleEscape kSimpleEscapes[] = {{'n', '\n'}, {'t', '\t'},  {'r', '\r'},
                                           {'"', '"'},  {'\\', '\\'}, {'\'', '\''}};

std::string fromUTF16Bytes(std::string_view bytes, bool bigEndian) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto first = static_cast<std::uint8_t>(bytes[i]);
        const auto second = static_cast<std::uint8_t>(bytes[i + 1]);
        units.push_back(bigEndian ? char16_t((first << 8) | second)
                                  : char16_t((second << 8) | first));
    }
    if (bytes.size() % 2 != 0) units.push_back(char16_t(kReplacementCharacter));
    return fromUTF16(units);
}

// The file's text as valid UTF-8, whatever encoding its byte-order mark announces.
std::string decodeText(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) return toValidUTF8(bytes.substr(3));
    if (bytes.starts_with("\xFF\xFE")) return fromUTF16Bytes(bytes.substr(2), false);
    if (bytes.starts_with("\xFE\xFF")) return fromUTF16Bytes(bytes.substr(2), true);
    return toValidUTF8(bytes);
}

bool isSpace(char c) {
    return std::string_view(" \t\r\n\f\v").find(c) != std::string_view::npos;
}

bool isUnquotedCharacter(char c) {
    const bool alphanumeric =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    return alphanumeric || c == '_' || c == '.' || c == '-' || c == '$' || c == ':' || c == '/';
}

std::optional<char16_t> hexUnit(std::string_view digits) {
    if (digits.size() != 4) return std::nullopt;
    char16_t unit = 0;
    for (const char c : digits) {
        int value = -1;
        if (c >= '0' && c <= '9') value = c - '0';
        if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
        if (value < 0) return std::nullopt;
        unit = char16_t((unit << 4) | value);
    }
    return unit;
}

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    StringsTable parse() {
        StringsTable table;
        while (skipSpaceAndComments() && !atEnd()) {
            auto key = token();
            if (!key || !skipSpaceAndComments()) break;
            std::string value = *key;  // a key alone maps to itself
            if (peek() == '=') {
                ++pos_;
                if (!skipSpaceAndComments()) break;
                auto given = token();
                if (!given || !skipSpaceAndComments()) break;
                value = std::move(*given);
            }
            if (peek() != ';') {
                fail("expected \";\"");
                break;
            }
            ++pos_;
            table.entries[std::move(*key)] = std::move(value);
        }
        table.problem = problem_;
        return table;
    }

  private:
    bool atEnd() const { return pos_ >= text_.size(); }
    char peek() const { return atEnd() ? '\0' : text_[pos_]; }
    bool startsWith(std::string_view what) const { return text_.substr(pos_).starts_with(what); }

    void fail(const std::string& what) {
        const auto line =
            1 + std::count(text_.begin(), text_.begin() + long(std::min(pos_, text_.size())), '\n');
        problem_ = "line " + std::to_string(line) + ": " + what;
    }

    // False when a comment is left open.
    bool skipSpaceAndComments() {
        for (;;) {
            while (!atEnd() && isSpace(peek()))
                ++pos_;
            if (startsWith("//")) {
                const auto end = text_.find('\n', pos_);
                pos_ = end == std::string_view::npos ? text_.size() : end;
            } else if (startsWith("/*")) {
                const auto end = text_.find("*/", pos_ + 2);
                if (end == std::string_view::npos) {
                    fail("unterminated comment");
                    return false;
                }
                pos_ = end + 2;
            } else {
                return true;
            }
        }
    }

    std::optional<std::string> token() {
        if (peek() == '"') return quoted();
        const std::size_t start = pos_;
        while (!atEnd() && isUnquotedCharacter(peek())) {
            ++pos_;
        }
        if (pos_ == start) {
            fail(atEnd() ? "unexpected end of file" : "unexpected character");
            return std::nullopt;
        }
        return std::string(text_.substr(start, pos_ - start));
    }

    std::optional<std::string> quoted() {
        ++pos_;  // opening quote
        std::string out;
        while (!atEnd()) {
            const char c = text_[pos_++];
            if (c == '"') return out;
            if (c != '\\') {
                out += c;
            } else if (!escape(out)) {
                return std::nullopt;
            }
        }
        fail("unterminated string");
        return std::nullopt;
    }

    // Reads one escape after its backslash.
    bool escape(std::string& out) {
        if (atEnd()) {
            fail("unterminated string");
            return false;
        }
        const char letter = text_[pos_++];
        if (letter == 'u' || letter == 'U') return unicodeEscape(out);
        const auto* simple =
            std::find_if(std::begin(kSimpleEscapes), std::end(kSimpleEscapes),
                         [&](const SimpleEscape& e) { return e.letter == letter; });
        out += simple != std::end(kSimpleEscapes) ? simple->value : letter;
        return true;
    }

    std::optional<char16_t> hexDigits() {
        const auto unit = hexUnit(text_.substr(pos_, 4));
        if (!unit) {
            fail("\\u needs four hex digits");
            return std::nullopt;
        }
        pos_ += 4;
        return unit;
    }

    bool unicodeEscape(std::string& out) {
        const auto unit = hexDigits();
        if (!unit) return false;
        std::u16string units(1, *unit);
        // A high surrogate takes its low half from an immediately following \u escape.
        const bool high = *unit >= 0xD800 && *unit <= 0xDBFF;
        if (high && (startsWith("\\u") || startsWith("\\U"))) {
            const auto low = hexUnit(text_.substr(pos_ + 2, 4));
            if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
                units.push_back(*low);
                pos_ += 6;
            }
        }
        out += fromUTF16(units);
        return true;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::optional<std::string> problem_;
};

}  // namespace

StringsTable parseStringsFile(std::string_view bytes) {
    const std::string text = decodeText(bytes);
    return Parser(text).parse();
}

}  // namespace platform
