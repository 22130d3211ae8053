#include "engine/script/KLVPText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace engine {
namespace {

constexpr double kTextInfinity = std::numeric_limits<double>::infinity();
constexpr double kTextNaN = std::numeric_limits<double>::quiet_NaN();

TEST(KLVPTextTest, NumberText) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {kTextNaN, "NaN"},
        {kTextInfinity, "Infinity"},
        {0.0, "0"},
        {-0.0, "0"},
        {123456789012, "123456789012"},
        {1e20, "100000000000000000000"},
        {9007199254740993.0, "9007199254740992"},
        {1e21, "1e+21"},
        {1e-6, "0.000001"},
        {9.99e-7, "9.99e-7"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1.0 / 3, "0.3333333333333333"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {5e-324, "5e-324"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KLVPNumberText(c.value), c.text) << c.text;
}

TEST(KLVPTextTest, NumberFromText) {
    const struct {
        std::u16string text;
        double value;
    } cases[] = {
        {u" 42 ", 42},
        {u"42px", kTextNaN},
        {u"", 0},
        {u" \t\n\r\v\f", 0},
        {u"\u00A0\u300042\u2028\u0085", 42},
        {u"-Infinity", -kTextInfinity},
        {u"+Infinity", kTextNaN},
        {u"-0", -0.0},
        {u".5", 0.5},
        {u"1e3", 1000},
        {u"\u200B1", kTextNaN},  // a zero-width space is no separator
        {u"1e400", kTextInfinity},
        {u"1e-400", 0},
        {u"0.000e99999999999999999999", 0},
        {u"12345678901234567890123", 12345678901234567890123.0},
    };
    for (const auto& c : cases) {
        const double value = KLVPNumberFromText(c.text);
        if (std::isnan(c.value)) {
            EXPECT_TRUE(std::isnan(value)) << KLVPUTF8FromUTF16(c.text);
        } else {
            EXPECT_EQ(value, c.value) << KLVPUTF8FromUTF16(c.text);
            EXPECT_EQ(std::signbit(value), std::signbit(c.value)) << KLVPUTF8FromUTF16(c.text);
        }
    }
}

TEST(KLVPTextTest, UTF16AtTheBorders) {
    EXPECT_EQ(KLVPUTF16FromUTF8("a\xF0\x9F\x98\x80"), u"a\U0001F600");
    EXPECT_EQ(KLVPUTF16FromUTF8("a\xFF"
                                "b"),
              u"a\uFFFDb");
    EXPECT_EQ(KLVPUTF8FromUTF16(u"\xD83D"
                                u"x"),
              "\xEF\xBF\xBDx");
}

}  // namespace
}  // namespace engine
