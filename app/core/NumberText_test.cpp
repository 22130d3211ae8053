#include "app/core/NumberText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace app {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(NumberTextTest, FormatDecimal) {
    struct Case {
        double value;
        int digits;
        const char* text;
    };
    const Case cases[] = {

        {-0.0, 10, "-0"},
        {1234567.891, 10, "1234567.891"},  // no grouping separator
        {1234567.125, 2, "1234567.12"},    // a tie goes to the even digit

        {2.5, 0, "2"},
        {3.5, 0, "4"},
        {2.675, 2, "2.68"},  // rounds the shortest text 2.675, not the binary value below it
        {4e-11, 10, "0"},

        {9.99999999999, 10, "10"},

        {0.1 + 0.2, 10, "0.3"},
        {-0.4150374992788438, 10, "-0.4150374993"},
        {kNaN, 10, "NaN"},

        {kInf, 10, "\u221E"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatDecimal(c.value, c.digits), c.text) << c.value << " with " << c.digits;
    }
}

TEST(NumberTextTest, CFormatTexts) {
    EXPECT_EQ(formatG(1.5), "1.5");

    EXPECT_EQ(formatG(1e6), "1e+06");

    EXPECT_EQ(formatG(1.2345678901234567, 15), "1.23456789012346");

    EXPECT_EQ(plainDecimalText(1.5e-7, 15), "0.00000015");

    EXPECT_EQ(plainDecimalText(0.1 + 0.2, 15), "0.3");
    EXPECT_EQ(plainDecimalText(1.2345678901234567, 15), "1.23456789012346");

    EXPECT_EQ(shortestDescription(2), "2.0");

    EXPECT_EQ(shortestDescription(1e-5), "1e-05");

    EXPECT_EQ(shortestDescription(kNaN), "nan");
}

TEST(NumberTextTest, InputNumbersFollowTheGrammarOnly) {
    const std::pair<const char*, double> accepted[] = {
        {"5", 5}, {"+5", 5}, {".5", 0.5}, {"5.", 5}, {"-0.25", -0.25}, {"007", 7}, {"1.15", 1.15},
    };
    for (const auto& [text, value] : accepted) {
        const auto parsed = parseInputNumber(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(*parsed, value) << text;
    }
    const auto negativeZero = parseInputNumber("-0");
    ASSERT_TRUE(negativeZero);
    EXPECT_TRUE(std::signbit(*negativeZero));

    const char* refused[] = {"",    "-",   ".",    " 5",  "5 ",    "1e5",
                             "inf", "nan", "0x10", "+-5", "1.2.3", "1,5"};
    for (const char* text : refused)
        EXPECT_FALSE(parseInputNumber(text)) << text;
    EXPECT_FALSE(parseInputNumber("1" + std::string(400, '0')));  // would become infinity
    EXPECT_FALSE(parseInputNumber(std::string("5\0", 2)));
}

TEST(NumberTextTest, Integers) {
    EXPECT_EQ(parseInteger("+5"), 5);

    EXPECT_EQ(parseInteger("0005"), 5);
    EXPECT_EQ(parseInteger("9223372036854775807"), 9223372036854775807);
    EXPECT_FALSE(parseInteger("9223372036854775808"));
    for (const char* text : {"", "+", "-", "5a", "+-5", " 5", "5e-07"}) {
        EXPECT_FALSE(parseInteger(text)) << text;
    }
}

}  // namespace
}  // namespace app
