#include "app/core/QuroInputManager.h"

#include <gtest/gtest.h>

#include "app/core/CoreTestSupport.h"
#include "app/core/QuroMathOperation.h"

namespace app {
namespace {

using testing::CoreTest;
using testing::euler;
using testing::pi;
using testing::Step;
using testing::stepsOf;

const std::vector<std::string> kIds = {"aTextField", "bTextField", "uTextField", "vTextField"};
// The product rule's task; "%1" (the field b) does not appear in it.
const char* kTemplate = "\\log_{%0}\\left(%2\\cdot%3\\right)";

class QuroInputManagerTest : public CoreTest {
  protected:
    // processInput with the settings of the logarithm rules.
    ProcessedInput process(std::vector<std::string> texts, int required = 3,
                           bool allFractionIfOccuredOnce = false) {
        return manager.processInput(texts, {}, kIds, {kTemplate}, true, allFractionIfOccuredOnce,
                                    false, FormatMode::formula, "", "", required, false, {});
    }
    std::vector<Step> steps() const { return stepsOf(QuroStringOutput::shared().solutionSteps); }

    QuroInputManager manager;
};

TEST_F(QuroInputManagerTest, RequiredInputs) {
    struct Case {
        std::vector<std::string> texts;
        int required;
        std::optional<std::vector<std::string>> missing;
    };
    const Case cases[] = {
        {{"2", "", "8", "5"}, 3, std::nullopt},
        {{"2", "", "8", ""}, 3, std::vector<std::string>{"bTextField", "vTextField"}},
        {{"", "2", "3", "4"}, 5, std::vector<std::string>{"aTextField"}},
    };
    for (const auto& c : cases) {
        QuroStringOutput::shared().solutionSteps.clear();
        const auto result = process(c.texts, c.required);
        if (!c.missing) {
            EXPECT_FALSE(result.errorKey) << c.texts[0] << c.texts[1] << c.texts[2] << c.texts[3];
            continue;
        }
        EXPECT_EQ(result.errorKey, kNotEnoughInputValues);
        EXPECT_EQ(result.errorTextFieldIds, c.missing);
        EXPECT_FALSE(result.allInputs);

        EXPECT_TRUE(steps().empty()) << "no step is written on an error";
    }
}

TEST_F(QuroInputManagerTest, RequiredFieldsByIdentifier) {
    auto result = manager.processInput({"1", "", "", "4"}, {}, kIds, {kTemplate}, true, false,
                                       false, FormatMode::formula, "", "", 0, false,
                                       {"aTextField", "uTextField", "vTextField"});
    EXPECT_EQ(result.errorKey, kNotEnoughInputValues);
    EXPECT_EQ(result.errorTextFieldIds, std::vector<std::string>{"uTextField"});

    result = manager.processInput({"1", "", "", "4"}, {}, kIds, {kTemplate}, true, false, false,
                                  FormatMode::formula, "", "", 9, true, {});
    EXPECT_EQ(result.errorTextFieldIds, (std::vector<std::string>{"bTextField", "uTextField"}));
}

TEST_F(QuroInputManagerTest, EveryErrorKeyWithItsField) {
    struct Case {
        std::vector<std::string> texts;
        const char* key;
        const char* field;
    };
    const Case cases[] = {
        {{"2", "", "3/4/5", "1"}, kInputParameterError, "uTextField"},

        {{"2", "", "3/", "1"}, kFractionIncomplete, "uTextField"},
        {{"2", "", "1/-0", "1"}, kInputZeroInDenominator, "uTextField"},
        {{"πe", "", "1", "1"}, kToManyNaturalConstantsInSubstring, "aTextField"},
        {{"π2", "", "1", "1"}, kNaturalConstantInWrongPositionOfSubstring, "aTextField"},

        {{"2", "", "1", "xy"}, kToManyVariablesInSubstring, "vTextField"},

        {{" ", "", "1", "1"}, kInputParameterError, "aTextField"},  // a blank counts as filled

        {{"2", "", "1E5", "1"}, kInputParameterError, "uTextField"},
        {{"2", "", "0x1A", "1"}, kNaturalConstantInWrongPositionOfSubstring, "uTextField"},
    };
    for (const auto& c : cases) {
        const auto result = process(c.texts);
        EXPECT_EQ(result.errorKey, c.key)
            << c.texts[0] << " | " << c.texts[2] << " | " << c.texts[3];
        EXPECT_EQ(result.errorTextFieldIds, std::vector<std::string>{c.field}) << c.texts[2];
        EXPECT_FALSE(result.allInputs);
    }
}

TEST_F(QuroInputManagerTest, TheTermGrammar) {
    struct Case {
        const char* text;
        double z;
        double n;
        NaturalConstants zConstants;
        NaturalConstants nConstants;
        const char* zVariable;
        const char* nVariable;
    };
    const Case cases[] = {
        {"+5", 5, 1, {}, {}, "", ""},       {".5", 0.5, 1, {}, {}, "", ""},
        {"π", 1, 1, {pi()}, {}, "", ""},    {"-e", -1, 1, {euler()}, {}, "", ""},
        {"2π/3", 2, 3, {pi()}, {}, "", ""}, {"3/2e", 3, 2, {}, {euler()}, "", ""},
        {"-y", -1, 1, {}, {}, "y", ""},     {"2/x", 2, 1, {}, {}, "", "x"},
    };
    for (const auto& c : cases) {
        QuroStringOutput::shared().solutionSteps.clear();
        // Placed in u, whose term reduceFractions leaves alone for these texts.
        const auto result = process({"2", "", c.text, "1"});
        ASSERT_TRUE(result.allInputs) << c.text << " " << result.errorKey.value_or("");
        const Digit& term = *manager.allInputs[2];
        EXPECT_EQ(term.z, c.z) << c.text;
        EXPECT_EQ(term.n, c.n) << c.text;
        EXPECT_EQ(term.zConstants, c.zConstants) << c.text;
        EXPECT_EQ(term.nConstants, c.nConstants) << c.text;
        EXPECT_EQ(term.zVariable, c.zVariable) << c.text;
        EXPECT_EQ(term.nVariable, c.nVariable) << c.text;
        EXPECT_EQ(term.powerOfZVariable, *c.zVariable ? 1.0 : 0.0) << c.text;
        EXPECT_EQ(term.powerOfNVariable, *c.nVariable ? 1.0 : 0.0) << c.text;
    }
}

TEST_F(QuroInputManagerTest, FractionsEverywhereOnceOneFieldHasOne) {
    QuroMathOperation::shared().withFraction = false;
    const auto result = process({"1/2", "", "3", "1.5"}, 3, true);
    ASSERT_TRUE(result.allInputs);
    EXPECT_TRUE(result.isWithFraction);
    EXPECT_TRUE(QuroMathOperation::shared().withFraction);
    EXPECT_EQ(manager.allInputs[2]->z, 3.0);
    EXPECT_EQ(manager.allInputs[2]->n, 1.0);
    // With every field read as a fraction, 1.5 over 1 is expanded too.
    EXPECT_EQ(manager.allInputs[3]->z, 3.0);
    EXPECT_EQ(manager.allInputs[3]->n, 2.0);
}

TEST_F(QuroInputManagerTest, FieldsIdentifiedByTags) {
    auto result = manager.processInput({"1", "", "x2"}, {3, 7, 12}, {}, {kTemplate}, true, false,
                                       false, FormatMode::formula, "", "", 3, false, {});
    EXPECT_EQ(manager.allTextFieldIds, (std::vector<std::string>{"3", "7", "12"}));
    EXPECT_EQ(result.errorKey, kNotEnoughInputValues);
    EXPECT_EQ(result.errorTags, std::vector<int>{7});
    EXPECT_EQ(result.errorTextFieldIds, std::vector<std::string>{"7"});

    result = manager.processInput({"1", "2", "x2"}, {3, 7, 12}, {}, {kTemplate}, true, false, false,
                                  FormatMode::formula, "", "", 3, false, {});
    EXPECT_EQ(result.errorKey, kNaturalConstantInWrongPositionOfSubstring);
    EXPECT_EQ(result.errorTags, std::vector<int>{12});
}

TEST_F(QuroInputManagerTest, RewritingSteps) {
    struct Case {
        std::string u;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"3/-4",
         {{"Your Input", "\\log_{2}\\left(\\frac{3}{-4}\\cdot8\\right)"},
          {"Modified Input", "\\log_{2}\\left(-\\frac{3}{4}\\cdot8\\right)"}}},
        {"2/0.5",
         {{"Your Input", "\\log_{2}\\left(\\frac{2}{0.5}\\cdot8\\right)"},
          {"Expand", "\\frac{2}{0.5} = \\frac{2 \\cdot 10}{0.5 \\cdot 10} = \\frac{20}{5}"},
          {"Cancel (math)", "\\frac{20}{5}= \\frac{20 : 5}{5 : 5} =  4"},
          {"Modified Input", "\\log_{2}\\left(4\\cdot8\\right)"}}},
        {"6/8",
         {{"Your Input", "\\log_{2}\\left(\\frac{6}{8}\\cdot8\\right)"},
          {"Cancel (math)", "\\frac{6}{8}= \\frac{6 : 2}{8 : 2} =  \\frac{3}{4}"},
          {"Modified Input", "\\log_{2}\\left(\\frac{3}{4}\\cdot8\\right)"}}},

        // The digits as typed, not six of them.
        {"1.234567/2",
         {{"Your Input", "\\log_{2}\\left(\\frac{1.234567}{2}\\cdot8\\right)"},
          {"Expand",
           "\\frac{1.234567}{2} = \\frac{1.234567 \\cdot 1000000}{2 \\cdot 1000000} = "
           "\\frac{1234567}{2000000}"},
          {"Modified Input", "\\log_{2}\\left(\\frac{1234567}{2000000}\\cdot8\\right)"}}},
    };
    for (const auto& c : cases) {
        QuroStringOutput::shared().solutionSteps.clear();
        const auto result = process({"2", "", c.u, "8"});
        ASSERT_TRUE(result.solutionSteps) << c.u;
        EXPECT_EQ(stepsOf(*result.solutionSteps), c.steps) << c.u;
    }
}

TEST_F(QuroInputManagerTest, SeveralRewritesTakeOneTitleEach) {
    process({"2.5/5", "", "1.5/2", "8"});
    const std::vector<Step> expected = {
        {"Your Input", "\\log_{\\frac{2.5}{5}}\\left(\\frac{1.5}{2}\\cdot8\\right)"},
        {"Expand", "\\frac{2.5}{5} = \\frac{2.5 \\cdot 10}{5 \\cdot 10} = \\frac{25}{50}"},
        {"", "\\frac{1.5}{2} = \\frac{1.5 \\cdot 10}{2 \\cdot 10} = \\frac{15}{20}"},
        {"Cancel (math)", "\\frac{25}{50}= \\frac{25 : 25}{50 : 25} =  \\frac{1}{2}"},
        {"", "\\frac{15}{20}= \\frac{15 : 5}{20 : 5} =  \\frac{3}{4}"},
        {"Modified Input", "\\log_{\\frac{1}{2}}\\left(\\frac{3}{4}\\cdot8\\right)"},
    };
    EXPECT_EQ(steps(), expected);
}

TEST_F(QuroInputManagerTest, EmptyFieldsShowAQuestionMark) {
    manager.processInput({"", "", "6/8", "8"}, {}, kIds, {kTemplate}, true, false, false,
                         FormatMode::formula, "", "", 2, false, {});
    const auto all = steps();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all.front().latex, "\\log_{ ? }\\left(\\frac{6}{8}\\cdot8\\right)");
    EXPECT_EQ(all.back().latex, "\\log_{ ? }\\left(\\frac{3}{4}\\cdot8\\right)");
}

TEST_F(QuroInputManagerTest, SmallDecimalsKeepTheirValueWhenExpanded) {
    process({"2", "", "0.00000015/0.5", "8"});
    const Digit& u = *manager.allInputs[2];
    EXPECT_DOUBLE_EQ(*u.value(), 0.00000015 / 0.5);
    EXPECT_EQ(u.z, 3.0);
    EXPECT_EQ(u.n, 10000000.0);
}

TEST_F(QuroInputManagerTest, VariablesModeWritesOneStepPerField) {
    manager.processInput({"2", "3"}, {}, {"s", "t"}, {"s = %0", "t = %0"}, true, false, false,
                         FormatMode::variables, "sub", "topic", 2, false, {});
    // No symbol is known, so each field keeps its template and gets an empty unit.
    EXPECT_EQ(steps(), (std::vector<Step>{{"Your Input", "s = 2 \n"}, {"", "t = 3 \n"}}));
    EXPECT_EQ(manager.inputSymbols.size(), 2u);
}

TEST(QuroInputManagerPostProcessTest, PostProcessStep) {
    const Symbol symbol{"c", "sub", "topic", "s", "s", "distance", "m", std::nullopt};
    const SolutionStep step = makeStep("Your Input", "s = 2 \n");
    EXPECT_EQ(QuroInputManager::postProcessStep(step, "s = ", "\\frac{4}{2} = 2", symbol),
              makeStep("Your Input", "s = 2  = \\frac{4}{2} = 2 m"));
    EXPECT_EQ(QuroInputManager::postProcessStep(step, "t = ", "1", symbol), step);
    const SolutionStep message = {{"title", ""}, {"messageString", "s = "}};
    EXPECT_EQ(QuroInputManager::postProcessStep(message, "s = ", "1", symbol), message);
}

}  // namespace
}  // namespace app
