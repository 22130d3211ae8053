#include "app/core/QuroMathOperation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "app/core/CoreTestSupport.h"

namespace app {
namespace {

using testing::CoreTest;
using testing::euler;
using testing::makeTerm;
using testing::pi;

class QuroMathOperationTest : public CoreTest {
  protected:
    QuroMathOperation& math() { return QuroMathOperation::shared(); }
};

void expectFraction(const DigitRef& term, double z, double n) {
    ASSERT_TRUE(term);
    ASSERT_TRUE(term->z);
    EXPECT_EQ(*term->z, z);
    EXPECT_EQ(term->n, n);
}

TEST_F(QuroMathOperationTest, MultiplyWorkedExamples) {
    math().withFraction = true;
    auto product = math().multiply(makeTerm(2, 3), makeTerm(3, 4));
    expectFraction(product.result, 1, 2);
    EXPECT_EQ(product.working, "\\frac{2  \\cdot 3}{3  \\cdot 4} = \\frac{6}{12}");
    EXPECT_EQ(product.cancelStep, "\\frac{6 : 6}{12  : 6} = \\frac{1}{2}");
    EXPECT_EQ(math().divisor, 6);

    math().withFraction = false;
    product = math().multiply(makeTerm(2), makeTerm(3));
    expectFraction(product.result, 6, 1);
    EXPECT_EQ(product.working, "2  \\cdot 3 = 6");
    EXPECT_FALSE(product.cancelStep);
    EXPECT_EQ(math().divisor, 1);

    product = math().multiply(Digit(), makeTerm(3));
    EXPECT_FALSE(product.result);
    EXPECT_FALSE(product.working);
}

TEST_F(QuroMathOperationTest, MultiplyMovesTheSignAndCombinesVariables) {
    math().withFraction = true;
    auto product = math().multiply(makeTerm(3, -5), makeTerm(1, 7));
    expectFraction(product.result, -3, 35);

    product = math().multiply(makeTerm(2, 1, {}, {}, "x"), makeTerm(3, 1, {}, {}, "x"));
    EXPECT_EQ(product.result->zVariable, "x");
    EXPECT_EQ(product.result->powerOfZVariable, 2.0);
    product = math().multiply(makeTerm(2, 1, {}, {}, "x"), makeTerm(3, 1, {}, {}, "y"));
    EXPECT_EQ(product.result->zVariable, "xy");
    EXPECT_EQ(product.result->powerOfZVariable, 1.0);
}

TEST_F(QuroMathOperationTest, DivideWorkedExamples) {
    math().withFraction = true;
    auto quotient = math().divide(makeTerm(6, 4), makeTerm(3, 2), false);  // exact way
    expectFraction(quotient.result, 1, 1);
    EXPECT_EQ(quotient.working, "\\frac{6 : 3}{4 : 2} = \\frac{2}{2}");
    EXPECT_EQ(quotient.cancelStep, "\\frac{2 : 2}{2  : 2} = \\frac{1}{1}");

    quotient = math().divide(makeTerm(1, 2), makeTerm(3, 4), false);  // cross way
    expectFraction(quotient.result, 2, 3);
    EXPECT_EQ(quotient.working,
              "\\frac{1 : 3}{2 : 4} = \\frac{1  \\cdot 4}{2  \\cdot 3} = \\frac{4}{6}");
    EXPECT_EQ(quotient.cancelStep, "\\frac{4 : 2}{6  : 2} = \\frac{2}{3}");

    quotient = math().divide(makeTerm(3), makeTerm(4), true);  // decimal way
    expectFraction(quotient.result, 0.75, 1);
    EXPECT_EQ(quotient.working, "3 : 4 = 0.75");

    quotient = math().divide(makeTerm(3), makeTerm(0), false);  // a zero divisor
    expectFraction(quotient.result, 3, 0);
    EXPECT_EQ(latexOfTerm(*quotient.result), "\\infty");
}

TEST_F(QuroMathOperationTest, CancelDown) {
    struct Case {
        Digit term;
        std::optional<std::pair<double, double>> reduced;
        std::int64_t divisor;
        const char* text;
    };
    const Case cases[] = {
        {makeTerm(6, 4), std::pair{3.0, 2.0}, 2, "\\frac{6 : 2}{4 : 2} =  \\frac{3}{2}"},
        {makeTerm(6, -4), std::pair{-3.0, 2.0}, -2,
         "\\frac{6 : (-2)}{(-4) : (-2)} =  \\left(-\\frac{3}{2}\\right)"},

        {makeTerm(1.5, 3), std::nullopt, 1,
         ""},  // Numbers that no longer fit a 64-bit integer, or are not finite, cancel nothing.
        {makeTerm(2e19, 4e19), std::nullopt, 1, ""},
        {makeTerm(std::numeric_limits<double>::infinity(), 2), std::nullopt, 1, ""},
        // Twelve digits: Euclid answers at once where a trial of every divisor would not.
        {makeTerm(123456789012, 246913578024), std::pair{1.0, 2.0}, 123456789012,
         "\\frac{123456789012 : 123456789012}{246913578024 : 123456789012} =  \\frac{1}{2}"},
        {makeTerm(999999999989, 999999999959), std::nullopt, 1, ""},
    };
    for (const auto& c : cases) {
        const auto result = math().cancelDown(c.term);
        EXPECT_EQ(math().divisor, c.divisor) << c.text;
        if (!c.reduced) {
            EXPECT_FALSE(result.term) << *c.term.z << "/" << c.term.n;
            continue;
        }
        expectFraction(result.term, c.reduced->first, c.reduced->second);
        EXPECT_EQ(result.text, c.text);
    }
}

TEST_F(QuroMathOperationTest, CancelDownCancelsAConstantOnBothSides) {
    const auto result = math().cancelDown(makeTerm(1, 1, {pi()}, {pi()}));
    expectFraction(result.term, 1, 1);
    EXPECT_TRUE(result.term->zConstants.empty());
    EXPECT_TRUE(result.term->nConstants.empty());
    EXPECT_EQ(result.text, "\\frac{\\pi : \\pi}{\\pi : \\pi} =  1");
    EXPECT_FALSE(math().cancelDown(makeTerm(1, 1, {pi()}, {euler()})).term);
}

TEST_F(QuroMathOperationTest, ConstantsKeepTheirValueInEveryResult) {
    const double piValue = pi().value;
    const double eValue = euler().value;
    math().withFraction = true;
    struct Case {
        const char* what;
        DigitRef result;
        double expected;
    };
    const Case cases[] = {
        {"1/π · 1/e",
         math().multiply(makeTerm(1, 1, {}, {pi()}), makeTerm(1, 1, {}, {euler()})).result,
         1 / piValue / eValue},

        {"π/e : e/π",
         math()
             .divide(makeTerm(1, 1, {pi()}, {euler()}), makeTerm(1, 1, {euler()}, {pi()}), false)
             .result,
         piValue * piValue / (eValue * eValue)},

        {"π²", math().power(makeTerm(1, 1, {pi()}), 2), piValue * piValue},
        {"(2/e)^0.5", math().power(makeTerm(2, 1, {}, {euler()}), 0.5), std::sqrt(2 / eValue)},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(c.result) << c.what;
        EXPECT_NEAR(*c.result->value(), c.expected, 1e-12) << c.what;
    }
    // Exponent 1 leaves the term as it is, constants and all.
    const auto same = math().power(makeTerm(2, 1, {pi()}), 1);
    EXPECT_EQ(same->zConstants, NaturalConstants{pi()});
    EXPECT_EQ(latexOfTerm(*math().divide(makeTerm(1, 1, {}, {pi()}), makeTerm(2), false).result),
              "\\frac{1}{2\\pi}");
}

TEST(QuroMathOperationRoundingTest, RoundToDecimalPlaces) {
    struct Case {
        double x;
        int places;
        double rounded;
        bool changed;
    };
    const Case cases[] = {
        {2.50000000001, 2, 2.5, false}, {2.4999999999, 2, 2.5, false}, {2.456, 2, 2.46, true},
        {2.5, 2, 2.5, false},           {-2.456, 2, -2.46, true},      {2.345, 0, 2, true},
        {0.125, 2, 0.13, true},
    };
    for (const auto& c : cases) {
        const auto result = QuroMathOperation::roundToDecimalPlaces(c.x, c.places);
        EXPECT_DOUBLE_EQ(result.value, c.rounded) << c.x;
        EXPECT_EQ(result.changed, c.changed) << c.x;
    }
}

}  // namespace
}  // namespace app
