#include "app/core/QuroStringOutput.h"

#include <gtest/gtest.h>

#include <limits>

#include "app/core/CoreTestSupport.h"

namespace app {
namespace {

using testing::euler;
using testing::makeTerm;
using testing::pi;

TEST(QuroStringOutputTest, LatexNumber) {
    struct Case {
        double value;
        NaturalConstants constants;
        std::string variable;
        std::string unit;
        int digits;
        bool allowInfinity;
        bool noBrackets;
        const char* text;
    };
    const Case cases[] = {
        {0.5, {}, "", "", 10, true, false, "0.5"},
        {-0.5, {}, "", "", 10, true, false, "(-0.5)"},

        {2e12, {}, "", "", 10, true, false, "\\infty"},

        {2e12, {}, "", "", 10, false, false, "2000000000000"},
        {std::numeric_limits<double>::quiet_NaN(), {}, "", "", 10, true, false, "NaN"},

        {-2, {pi()}, "", "", 10, true, false, "(-2\\pi)"},

        {2, {pi(), euler()}, "", "", 10, true, false, "2\\pie"},

        {3, {}, "x", "cm", 10, true, false, "3 x cm"},
        {1234567.125, {}, "", "", 2, true, false, "1234567.12"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QuroStringOutput::latexNumber(c.value, c.unit, c.constants, c.variable, c.digits,
                                                c.allowInfinity, c.noBrackets),
                  c.text)
            << c.value;
    }
}

TEST(QuroStringOutputTest, LatexTermWithTheRulesSettings) {
    struct Case {
        Digit term;
        const char* text;
    };
    const Case cases[] = {

        {makeTerm(-3, 4), "-\\frac{3}{4}"},
        {makeTerm(3, -4), "-\\frac{3}{4}"},
        {makeTerm(2, 1, {pi()}), "2\\pi"},

        {makeTerm(1, 1, {}, {pi()}), "\\frac{1}{\\pi}"},

        {makeTerm(3, 0), "\\infty"},
        // Denominators keep the digits as typed, also where a six-digit text would need an
        // exponent.
        {makeTerm(1, 12.3456789), "\\frac{1}{12.3456789}"},

        {makeTerm(2, 1, {}, {}, "x"), "2  x"},

        {makeTerm(2, 1, {}, {}, "", "x"), "2 \\frac{1}{x}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(latexOfTerm(c.term), c.text) << c.text;
    }
}

TEST(QuroStringOutputTest, LatexTermOptions) {
    EXPECT_EQ(QuroStringOutput::latexTerm(makeTerm(3), "", false, true, false, 10), "\\frac{3}{1}");
    EXPECT_EQ(QuroStringOutput::latexTerm(makeTerm(-3, 4), "", std::nullopt, false, false, 10),
              "\\left(-\\frac{3}{4}\\right)");

    EXPECT_EQ(QuroStringOutput::latexTerm(makeTerm(3), "cm", true, false, false, 10),
              "\\left(3\\right) cm");
    // keepSigns: the signs as typed, and tiny values as they are.
    EXPECT_EQ(latexOfTerm(makeTerm(3, -4), true), "\\frac{3}{-4}");

    EXPECT_EQ(latexOfTerm(makeTerm(1e-11), true), "0");
    EXPECT_EQ(latexOfTerm(makeTerm(-0.0), true), "-0");
    // No numerator, no text.
    EXPECT_EQ(latexOfTerm(Digit()), "");
}

TEST(QuroStringOutputTest, LatexVariablePart) {
    EXPECT_FALSE(QuroStringOutput::latexVariablePart(makeTerm(1)));
    Digit term = makeTerm(1, 1, {}, {}, "x");
    EXPECT_EQ(QuroStringOutput::latexVariablePart(term), " x");
    term.powerOfZVariable = 0.5;
    EXPECT_EQ(QuroStringOutput::latexVariablePart(term), " x^{0.5}");
    Digit fraction = makeTerm(1, 1, {}, {}, "x", "y");
    fraction.powerOfZVariable = 0.5;
    fraction.powerOfNVariable = -1.0;
    EXPECT_EQ(QuroStringOutput::latexVariablePart(fraction), "\\frac{x^{0.5}}{y^{-1.0}}");
    EXPECT_EQ(QuroStringOutput::latexVariablePart(makeTerm(1, 1, {}, {}, "", "y")), "\\frac{1}{y}");
}

}  // namespace
}  // namespace app
