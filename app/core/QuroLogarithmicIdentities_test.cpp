#include "app/core/QuroLogarithmicIdentities.h"

#include <gtest/gtest.h>

#include "app/core/CoreTestSupport.h"
#include "app/core/QuroInputManager.h"

namespace app {
namespace {

using testing::CoreTest;
using testing::Step;

struct Inputs {
    std::optional<std::string> a, b, u, v;
};

class QuroLogarithmicIdentitiesTest : public CoreTest {
  protected:
    // One calculation as the calculate screen runs it: the buffer emptied first.
    IdentityResult calculate(const Inputs& in, int rule) {
        QuroStringOutput::shared().solutionSteps.clear();
        return calculator.calculateIdentity(in.a, "aTextField", in.b, "bTextField", in.u,
                                            "uTextField", in.v, "vTextField", rule);
    }

    static std::vector<Step> stepsOf(const IdentityResult& result) {
        return testing::stepsOf(result.solutionSteps.value_or(SolutionSteps{}));
    }

    QuroLogarithmicIdentities calculator;
};

TEST_F(QuroLogarithmicIdentitiesTest, WorkedExamplesOfEveryRule) {
    struct Case {
        const char* what;
        Inputs inputs;
        int rule;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"product rule",
         {"2", std::nullopt, "4", "8"},
         0,
         {{"Your Input", "\\log_{2}\\left(4\\cdot8\\right)"},
          {"Choosen Formula", "\\log_a(u\\cdot v) = log_au + log_av"},
          {"Insert", "\\log_{2}(4\\cdot 8) = log_{2}4 + log_{2}8"},
          {"Multiplication", "\\log_{2}(32) = log_{2}4 + log_{2}8"},
          {"Calculate logarithm", "5 = 2 + 3"},
          {"Result", "5 = 5"}}},
        {"power rule",
         {"2", std::nullopt, "4", "3"},
         2,
         {{"Your Input", "\\log_{2}\\left(4^{3}\\right)"},
          {"Choosen Formula", "\\log_a(u^v) = v\\cdot log_au"},
          {"Insert", "\\log_{2}(4^{3}) = 3\\cdot log_{2}4"},
          {"Calculate power", "\\log_{2}(64) = 3\\cdot log_{2}4"},
          {"Calculate logarithm", "6 = 3\\cdot 2"},
          {"Result", "6 = 6"}}},
        {"change of base",
         {"2", "10", "8", std::nullopt},
         4,
         {{"Your Input",
           "\\log_{2}\\left(8\\right) = \\frac{\\log_{10}\\left(8\\right)} "
           "{\\log_{10}\\left(2\\right)}"},
          {"Choosen Formula", "\\log_au = \\frac{\\log_bu}{\\log_ba}"},
          {"Insert", "\\log_{2}8 = \\frac{\\log_{10}8}{\\log_{10}2}"},
          {"Calculate logarithm", "3 = \\frac{0.903089987}{0.3010299957}"},
          {"Result", "3 = 3"}}},
        {"power base",
         {"2", "3", "4", "6"},
         5,
         {{"Your Input", "\\log_{2^{3}}\\left(4^{6}\\right)"},
          {"Choosen Formula", "\\log_{a^b}(u^v) = \\frac{v}{b}\\cdot log_au"},
          {"Insert", "\\log_{2^3}(4^6) = \\frac{6}{3}\\cdot log_{2}4"},
          {"Calculate power", "\\log_{2^3}(4096) = \\frac{6}{3}\\cdot log_{2}4"},
          {"", "\\log_{8}(4096) = \\frac{6}{3}\\cdot log_{2}4"},
          {"Calculate logarithm", "4 = \\frac{6}{3}\\cdot 2"},
          {"Result", "4 = 4"}}},
        {"power base, exponents of two digits",
         {"2", "10", "4", "12"},
         5,
         {{"Your Input", "\\log_{2^{10}}\\left(4^{12}\\right)"},
          {"Choosen Formula", "\\log_{a^b}(u^v) = \\frac{v}{b}\\cdot log_au"},
          {"Insert", "\\log_{2^{10}}(4^{12}) = \\frac{12}{10}\\cdot log_{2}4"},
          {"Calculate power", "\\log_{2^{10}}(16777216) = \\frac{12}{10}\\cdot log_{2}4"},
          {"", "\\log_{1024}(16777216) = \\frac{12}{10}\\cdot log_{2}4"},
          {"Calculate logarithm", "2.4 = \\frac{12}{10}\\cdot 2"},
          {"Result", "2.4 = 2.4"}}},
    };
    for (const auto& c : cases) {
        const auto result = calculate(c.inputs, c.rule);
        EXPECT_FALSE(result.errorText) << c.what << ": " << result.errorText.value_or("");
        EXPECT_EQ(stepsOf(result), c.steps) << c.what;
        EXPECT_EQ(result.latexString, c.steps.front().latex) << c.what;
    }
}

TEST_F(QuroLogarithmicIdentitiesTest, EdgeCasesEndInTheirResult) {
    struct Case {
        Inputs inputs;
        int rule;
        Step calculated;
        Step result;
    };
    const Case cases[] = {
        {{"2", std::nullopt, "1/2", "3/4"},
         1,
         {"Calculate logarithm", "(-0.5849625007) = (-1) - (-0.4150374993)"},
         {"Result", "(-0.5849625007) = (-0.5849625007)"}},
        {{"2", std::nullopt, "-8", "3"},  // an odd root of a negative number
         3,
         {"Calculate logarithm", "NaN = \\frac{1}{3}\\cdot NaN"},
         {"Result", "NaN = NaN"}},
        {{"2", std::nullopt, "3", "0"},  // a quotient by zero
         1,
         {"Calculate logarithm", "\\infty = 1.5849625007 - -\\infty"},
         {"Result", "\\infty = \\infty"}},
    };
    for (const auto& c : cases) {
        const auto steps = stepsOf(calculate(c.inputs, c.rule));
        ASSERT_GE(steps.size(), 2u);
        EXPECT_EQ(steps[steps.size() - 2], c.calculated);
        EXPECT_EQ(steps.back(), c.result);
    }
}

TEST_F(QuroLogarithmicIdentitiesTest, InputStepsComeFirst) {
    const auto result = calculate({"2", std::nullopt, "6/8", "1.5/2"}, 0);
    const auto steps = stepsOf(result);
    ASSERT_EQ(steps.size(), 10u);
    const std::vector<std::string> titles = {"Your Input", "Expand",         "Cancel (math)",
                                             "",           "Modified Input", "Choosen Formula"};
    for (std::size_t i = 0; i < titles.size(); ++i)
        EXPECT_EQ(steps[i].title, titles[i]) << i;
    EXPECT_EQ(steps[4].latex, "\\log_{2}\\left(\\frac{3}{4}\\cdot\\frac{3}{4}\\right)");
    EXPECT_EQ(result.latexString, "\\log_{2}\\left(\\frac{6}{8}\\cdot\\frac{1.5}{2}\\right)");
}

TEST_F(QuroLogarithmicIdentitiesTest, InputErrorsStopBeforeTheRule) {
    struct Case {
        Inputs inputs;
        int rule;
        const char* key;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {{"2", std::nullopt, "4", std::nullopt},
         0,
         kNotEnoughInputValues,
         {"bTextField", "vTextField"}},
        // A field the rule does not use does not stand in for one it needs.
        {{"2", "5", "4", ""}, 0, kNotEnoughInputValues, {"bTextField", "vTextField"}},
        {{"2", std::nullopt, "()", "3"}, 2, kInputParameterError, {"uTextField"}},
        {{"2", std::nullopt, "4", "1/0"}, 1, kInputZeroInDenominator, {"vTextField"}},
    };
    for (const auto& c : cases) {
        const auto result = calculate(c.inputs, c.rule);
        EXPECT_EQ(result.errorText, c.key);
        EXPECT_EQ(result.errorFieldIds, c.fields);
        EXPECT_FALSE(result.latexString);

        EXPECT_TRUE(calculator.output().solutionSteps.empty()) << "the rule did not run";
    }
}

TEST_F(QuroLogarithmicIdentitiesTest, UnusedFieldsAreNotRead) {
    // v is not part of the change of base; what is typed there cannot fail the calculation.
    const auto result = calculate({"2", "10", "8", "3/4/5"}, 4);
    EXPECT_FALSE(result.errorText);
    EXPECT_EQ(stepsOf(result).back(), (Step{"Result", "3 = 3"}));
}

TEST_F(QuroLogarithmicIdentitiesTest, RuleSideEffects) {
    QuroMathOperation::shared().withFraction = false;
    calculate({"2", std::nullopt, "64", "3"}, 3);
    EXPECT_TRUE(calculator.operation().withFraction);
    ASSERT_TRUE(calculator.allInputs);
    const Digit& v = *calculator.allInputs->at(3);
    EXPECT_EQ(v.z, 1.0);  // the root rule leaves v inverted
    EXPECT_EQ(v.n, 3.0);
}

// A calculation keeps its steps and its fraction mode to itself: nothing process-wide changes,
// and a second calculation, on the same calculator too, starts from nothing.
TEST_F(QuroLogarithmicIdentitiesTest, ACalculationsStepsAndFractionModeAreItsOwn) {
    const auto first = calculate({"2", std::nullopt, "1/2", "8"}, 0);
    ASSERT_FALSE(first.errorText);
    EXPECT_TRUE(QuroStringOutput::shared().solutionSteps.empty());
    EXPECT_FALSE(QuroMathOperation::shared().withFraction);
    EXPECT_EQ(calculator.output().solutionSteps, first.solutionSteps);

    const auto failed = calculate({"2", std::nullopt, "4", ""}, 0);
    ASSERT_TRUE(failed.errorText);
    EXPECT_TRUE(calculator.output().solutionSteps.empty());
    EXPECT_FALSE(calculator.operation().withFraction);

    const auto second = calculate({"2", std::nullopt, "4", "8"}, 0);
    QuroLogarithmicIdentities fresh;
    const auto alone = fresh.calculateIdentity("2", "aTextField", std::nullopt, "bTextField", "4",
                                               "uTextField", "8", "vTextField", 0);
    EXPECT_EQ(second.solutionSteps, alone.solutionSteps);
    EXPECT_EQ(stepsOf(second).front(), (Step{"Your Input", "\\log_{2}\\left(4\\cdot8\\right)"}));
}

TEST_F(QuroLogarithmicIdentitiesTest, UnknownRulesAndMissingTermsRunNothing) {
    const auto result = calculate({"2", std::nullopt, "4", "8"}, 9);
    EXPECT_FALSE(result.errorText);
    EXPECT_EQ(stepsOf(result), (std::vector<Step>{{"Your Input", ""}}));
    EXPECT_EQ(result.latexString, "");

    calculator.output().solutionSteps.clear();
    calculator.allInputs.reset();
    calculator.productRule();

    calculator.allInputs =
        std::vector<DigitRef>{makeDigit(), makeDigit(), makeDigit(), makeDigit()};
    calculator.changeOfBaseRule();
    EXPECT_TRUE(calculator.output().solutionSteps.empty());
}

TEST_F(QuroLogarithmicIdentitiesTest, ConstantsKeepTheirValue) {
    // log_e(π²) by the power rule: 2·ln π, and the shown result agrees with the left side.
    const auto steps = stepsOf(calculate({"e", std::nullopt, "π", "2"}, 2));
    ASSERT_EQ(steps.size(), 6u);
    EXPECT_EQ(steps[3].latex, "\\log_{e}(9.8696044011) = 2\\cdot log_{e}\\pi");
    EXPECT_EQ(steps[4].latex, "2.2894597717 = 2\\cdot 1.1447298858");
    EXPECT_EQ(steps[5].latex, "2.2894597717 = 2.2894597717");
}

}  // namespace
}  // namespace app
