#include "platform/foundation/Text.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

struct LengthCase {
    const char* name;
    std::string text;
    std::size_t codePoints;
    std::size_t utf16;
    bool valid;
};

TEST(TextTest, CountsCharactersNotBytes) {
    const LengthCase cases[] = {
        {"empty", "", 0, 0, true},

        {"combining mark counts apart", "e\u0301", 2, 2, true},
        {"emoji is a surrogate pair", "\U0001F600", 1, 2, true},

        {"family joined by ZWJ", "\U0001F468\u200D\U0001F469\u200D\U0001F467", 5, 8, true},
        {"invalid byte inside",
         "a\xff"
         "b",
         3, 3, false},

        {"overlong slash", "\xc0\xaf", 2, 2, false},
        {"encoded surrogate", "\xed\xa0\x80", 3, 3, false},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", 4, 4, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(codePointCount(c.text), c.codePoints);
        EXPECT_EQ(utf16Length(c.text), c.utf16);
        EXPECT_EQ(isValidUTF8(c.text), c.valid);
    }
}

struct SliceCase {
    std::string text;
    std::size_t start;
    std::size_t length;
    std::string expected;
};

TEST(TextTest, SlicesByCodePoints) {
    const SliceCase cases[] = {
        {"a\U0001F600b", 1, 1, "\U0001F600"},

        {"abc", 1, SIZE_MAX, "bc"},
        {"e\u0301x", 0, 1, "e"},
        {"a\xff"
         "b",
         1, 1, "\xff"},  // the original bytes, not a replacement
        {"\xe2\x82"
         "ab",
         0, 2,
         "\xe2\x82"
         "a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(substringByCodePoints(c.text, c.start, c.length), c.expected)
            << c.text << " [" << c.start << ", +" << c.length << ")";
    }
}

TEST(TextTest, SlicesByUTF16UnitsReplacingCutPairs) {
    const SliceCase cases[] = {

        {"a\U0001F600b", 1, 2, "\U0001F600"},
        {"a\U0001F600b", 0, 2, "a\uFFFD"},
        {"a\U0001F600b", 2, 2, "\uFFFDb"},

        {"a\U0001F600b", 0, std::string::npos, "a\U0001F600b"},
        {"ab", 7, 1, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(substringByUTF16(c.text, c.start, c.length), c.expected)
            << c.text << " [" << c.start << ", +" << c.length << ")";
    }
}

TEST(TextTest, ReplacesIllFormedSequences) {
    EXPECT_EQ(toValidUTF8("a\xff"
                          "b"),
              "a\uFFFDb");
    EXPECT_EQ(toValidUTF8("\xe2\x82"
                          "a"),
              "\uFFFDa");
    EXPECT_EQ(toValidUTF8("\xc0\xaf"), "\uFFFD\uFFFD");

    EXPECT_EQ(fromUTF16(u"a\U0001F600"), "a\U0001F600");
    EXPECT_EQ(fromUTF16(std::u16string{u'a', char16_t(0xD83D)}), "a\uFFFD");
    EXPECT_EQ(fromUTF16(std::u16string{char16_t(0xDE00), u'b'}), "\uFFFDb");

    std::string out;
    appendUTF8(out, 0x10FFFF);
    appendUTF8(out, 0x110000);
    appendUTF8(out, 0xD800);
    EXPECT_EQ(out, "\U0010FFFF\uFFFD\uFFFD");
}

TEST(TextTest, ASCIICaseLeavesOtherBytesAlone) {
    EXPECT_EQ(asciiLowercase("Hello \u00c4BC"), "hello \u00c4bc");
    EXPECT_EQ(asciiUppercase("straße"), "STRAßE");
    EXPECT_TRUE(equalsIgnoringASCIICase("YES", "yes"));

    EXPECT_FALSE(equalsIgnoringASCIICase("\u00c4", "\u00e4"));

    struct {
        const char* a;
        const char* b;
        int sign;
    } const cases[] = {{"abc", "ABC", 0}, {"B", "a", 1}, {"ab", "abc", -1}, {"_", "a", -1}};

    for (const auto& c : cases) {
        const int result = compareIgnoringASCIICase(c.a, c.b);
        EXPECT_EQ((result > 0) - (result < 0), c.sign) << c.a << " vs " << c.b;
    }
}

}  // namespace
}  // namespace platform
