#include <gtest/gtest.h>

#include "app/core/QuroStringOutput.h"
#include "app/screens/CalcManager.h"
#include "app/screens/ScreensTestSupport.h"
#include "app/screens/SolutionStepTableViewCell.h"
#include "app/services/QuroColor.h"
#include "platform/foundation/NotificationCenter.h"

namespace app {
namespace {

using platform::ViewQuery;

class CalculateTest : public testing::PagesTest {
  protected:
    CalculateTest() { showPages(); }
};

struct KeyCase {
    std::string text;
    std::size_t selStart, selEnd;
    std::string key;  // "<" is the back key
    std::string expected;
    std::size_t caret;
};

TEST_F(CalculateTest, KeypadAndBackKeyEditAtTheCaret) {
    const KeyCase cases[] = {
        {"5", 1, 1, "-", "-5", 2},
        {"-5", 2, 2, "-", "5", 1},
        {"1234", 1, 3, "7", "174", 2},
        {"123", 0, 0, "<", "123", 0},
        {"123", 2, 2, "<", "13", 1},
        {"1234", 1, 3, "<", "14", 1},
        {"", 0, 0, "4", "4", 1},         // an empty field takes keys
        {"-5", 0, 0, "-", "5", 0},       // the caret stays inside the text
        {"2\u03c0", 2, 2, "<", "2", 1},  // π is one character
        {"2\u03c0", 1, 1, "3", "23\u03c0", 2},
        {"\u03c0", 1, 1, "e", "\u03c0e", 2},
        {"123", 1, 1, "-", "-123", 2},  // the sign key goes in front wherever the caret is
        {"12-3", 3, 3, "-", "123", 2},  // and takes every minus out
    };
    const auto a = field("aTextField");
    for (const auto& c : cases) {
        ASSERT_TRUE(driver_.tap(ViewQuery::byId("aTextField")).ok());
        a->setText(c.text);
        a->setSelectedTextRange({c.selStart, c.selEnd});
        if (c.key == "<") {
            ASSERT_TRUE(driver_.tap(ViewQuery::byId("deleteButton")).ok());
        } else {
            key(c.key);
        }
        EXPECT_EQ(a->text(), c.expected) << c.text << " " << c.key;
        EXPECT_EQ(a->selectedTextRange(), (platform::UITextRange{c.caret, c.caret}))
            << c.text << " " << c.key;
    }
}

TEST_F(CalculateTest, KeysWithoutAFocusedFieldOrWhileCalculatingDoNothing) {
    key("7");
    EXPECT_EQ(field("aTextField")->text(), "");
    enter("aTextField", {"1"});
    isCalculating = true;
    key("2");
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("deleteButton")).ok());
    isCalculating = false;
    EXPECT_EQ(field("aTextField")->text(), "1");
}

// A keyboard types into the focused field only what the keypad could have typed.
TEST_F(CalculateTest, TypedTextGoesInOnlyWhenTheKeypadTypesEveryCharacter) {
    const std::pair<const char*, const char*> cases[] = {
        {"7", "127"},   {"x", "12"},       {"2x", "12"},           {"E", "12"},
        {" ", "12"},    {"+", "12"},       {"-", "-12"},           {"/", "12/"},
        {".", "12."},   {"e", "12e"},      {"\u03c0", "12\u03c0"}, {"09", "1209"},
        {"\xcf", "12"}, {"\u03c0x", "12"},
    };
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("aTextField")).ok());
    const auto a = field("aTextField");
    for (const auto& [typed, expected] : cases) {
        a->setText("12");
        EXPECT_TRUE(driver_.type(typed).ok()) << typed;
        EXPECT_EQ(a->text(), expected) << typed;
    }
    a->setText("12");
    EXPECT_TRUE(driver_.pressKey("Backspace").ok());
    EXPECT_EQ(a->text(), "1");
}

// A key of the keyboard takes the keypad's step at the caret: it goes in there or replaces the
// selection, "-" changes the sign wherever the caret stands, Backspace is the back key, and
// Delete takes the character after the caret.
TEST_F(CalculateTest, KeyboardKeysTakeTheKeypadsStepsAtTheCaret) {
    struct Case {
        const char* text;
        platform::UITextRange selection;
        const char* input;  // typed text, or "Backspace" or "Delete"
        const char* expected;
        std::size_t caret;
    };
    const Case cases[] = {
        {"1234", {2, 2}, "7", "12734", 3},
        {"1234", {1, 1}, "09", "109234", 3},
        {"1234", {1, 3}, "7", "174", 2},
        {"1234", {2, 2}, "Backspace", "134", 1},
        {"1234", {0, 0}, "Backspace", "1234", 0},
        {"1234", {1, 3}, "Backspace", "14", 1},
        {"1234", {2, 2}, "Delete", "124", 2},
        {"2\u03c03", {1, 1}, "Delete", "23", 1},
        {"1234", {4, 4}, "Delete", "1234", 4},
        {"1234", {1, 3}, "Delete", "14", 1},
        {"5", {1, 1}, "-", "-5", 2},
        {"5", {0, 0}, "-", "-5", 1},
        {"123", {2, 2}, "-", "-123", 3},
        {"-123", {2, 2}, "-", "123", 1},
        {"-5", {0, 0}, "-", "5", 0},
        {"123", {1, 2}, "-", "-13", 2},  // the selection goes, then the sign changes
        {"5", {1, 1}, "--", "5", 1},     // never 5--
        {"12", {1, 1}, "-x", "12", 1},
    };
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("aTextField")).ok());
    const auto a = field("aTextField");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " " + c.input);
        a->setText(c.text);
        a->setSelectedTextRange(c.selection);
        const std::string input = c.input;
        const auto result = input == "Backspace" || input == "Delete" ? driver_.pressKey(input)
                                                                      : driver_.type(input);
        EXPECT_TRUE(result.ok());
        EXPECT_EQ(a->text(), c.expected);
        EXPECT_EQ(a->selectedTextRange(), (platform::UITextRange{c.caret, c.caret}));
    }
}

TEST_F(CalculateTest, ProductRuleShowsSixStepsAndStoresTheRecord) {
    enter("aTextField", {"2"});
    enter("uTextField", {"4"});
    enter("vTextField", {"8"});
    tapCalculate();
    EXPECT_EQ(tabs_->selectedIndex(), 1);
    EXPECT_EQ(result_->solutionSteps.size(), 6u);
    EXPECT_EQ(result_->tableView->numberOfRows(0), 6);
    EXPECT_EQ(result_->tableView->rowHeight, 100);
    EXPECT_EQ(result_->manualImageName, "qz_info");
    const auto& record = CalcManager::shared().calculations.at(0);
    EXPECT_EQ(
        record.inputParameters,
        (std::map<std::string, std::string>{
            {"aTextField", "2"}, {"bTextField", ""}, {"uTextField", "4"}, {"vTextField", "8"}}));
    EXPECT_EQ(record.setupParameter,
              (platform::Dictionary{{"inputCalculationSelection", 0}, {"appKey", "QZ"}}));
    const auto stored = defaults().objectForKey(kCalculationsKey).asArray();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].asDictionary().at("solutionSteps"), platform::Object(platform::Array{}));
    const auto events = analytics_.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "quro_calculate");
    EXPECT_EQ(events[0].parameters.at("solutionStepsCount"), platform::Object(6));
    EXPECT_EQ(events[0].parameters.at("solutionSteps").asArray().size(), 6u);
    EXPECT_TRUE(QuroStringOutput::shared().solutionSteps.empty());
    EXPECT_EQ(QuroStringOutput::shared().solutionStepCounter, 0);
    EXPECT_FALSE(isCalculating);
    // The first step row shows its formula through the display normaliser.
    const auto screen = driver_.screen();
    EXPECT_NE(screen.find(R"x(latex="\\log_{2}\\left(4\\cdot8\\right)")x"), std::string::npos)
        << screen;
}

TEST_F(CalculateTest, HiddenFieldCountsAsEmpty) {
    selectRule(5);
    enter("vTextField", {"5"});
    selectRule(4);
    enter("aTextField", {"8"});
    enter("bTextField", {"2"});
    enter("uTextField", {"6", "4"});
    tapCalculate();
    ASSERT_EQ(tabs_->selectedIndex(), 1);
    const auto& record = CalcManager::shared().calculations.at(0);
    EXPECT_EQ(record.inputParameters.at("vTextField"), "");
    EXPECT_EQ(record.setupParameter.at("inputCalculationSelection"), platform::Object(4));
    EXPECT_EQ(calc_->allFields[3]->text(), "5");  // hiding keeps the text
}

TEST_F(CalculateTest, InputErrorMarksFieldsShowsToastAndStoresNothing) {
    enter("aTextField", {"2"});
    tapCalculate();
    EXPECT_EQ(tabs_->selectedIndex(), 0);
    EXPECT_TRUE(CalcManager::shared().calculations.empty());
    EXPECT_EQ(analytics_.events(),
              (std::vector<AppAnalytics::Event>{
                  {"quro_got_error", {{"error_case", "notEnoughInputValues"}}}}));
    EXPECT_EQ(field("aTextField")->borderColor, QuroColor::adaptiveGray());
    EXPECT_EQ(field("uTextField")->borderColor, platform::UIColor::systemOrange());
    EXPECT_EQ(field("vTextField")->borderColor, platform::UIColor::systemOrange());
    EXPECT_NE(driver_.screen().find("text=\"Please fill in all required values.\""),
              std::string::npos);
    EXPECT_FALSE(isCalculating);
    EXPECT_TRUE(result_->solutionSteps.empty());

    enter("uTextField", {"1", "/", "0"});
    enter("vTextField", {"3"});
    tapCalculate();
    EXPECT_EQ(field("uTextField")->borderColor, platform::UIColor::systemRed());
    EXPECT_EQ(field("vTextField")->borderColor, QuroColor::adaptiveGray());
    EXPECT_EQ(analytics_.events().back().parameters.at("error_case"),
              platform::Object("inputZeroInDenominator"));
}

TEST_F(CalculateTest, ClearAllEmptiesInputResultAndCurrentRecords) {
    enter("aTextField", {"2"});
    enter("uTextField", {"4"});
    enter("vTextField", {"8"});
    tapCalculate();
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("toolbarRemoveButton")).ok());
    EXPECT_EQ(tabs_->selectedIndex(), 0);
    EXPECT_TRUE(result_->solutionSteps.empty());
    EXPECT_EQ(field("aTextField")->text(), "");
    EXPECT_TRUE(defaults().objectForKey(kCurrentCalculationKey).isNull());
    EXPECT_EQ(analytics_.names().back(), "tapped_clear");
    EXPECT_EQ(CalcManager::shared().calculations.size(), 1u);  // the history stays
}

TEST_F(CalculateTest, ClearAllWhileCalculatingOnlyLogsAndResetsMarks) {
    enter("aTextField", {"2"});
    tapCalculate();  // marks u and v
    isCalculating = true;
    calc_->clearAll();
    isCalculating = false;
    EXPECT_EQ(field("aTextField")->text(), "2");
    EXPECT_EQ(field("uTextField")->borderColor, QuroColor::adaptiveGray());
    EXPECT_EQ(analytics_.names().back(), "tapped_clear");
}

TEST_F(CalculateTest, ClearAllOutsideTheTabsPostsTheNotification) {
    int posted = 0;
    const auto observer = platform::NotificationCenter::defaultCenter().addObserverForName(
        kClearCurrentCalculationNotification, nullptr,
        [&posted](const platform::Notification&) { ++posted; });
    auto lone = platform::UIStoryboard::instantiate<CalculateViewController>(
        kMainStoryboard, "CalculateViewController");
    lone->view();
    lone->clearAll();
    EXPECT_EQ(posted, 1);
}

TEST_F(CalculateTest, DisappearingKeepsTheInputForTheNextScreen) {
    enter("aTextField", {"7"});
    tabs_->select(1);
    const auto stored = defaults().objectForKey(kCurrentCalculationKey);
    ASSERT_TRUE(stored.isDictionary());
    EXPECT_EQ(Calculation(stored.asDictionary()).inputParameters,
              (std::map<std::string, std::string>{{"aTextField", "7"}}));
}

TEST_F(CalculateTest, SegmentsFollowTheRuleTable) {
    const bool hidden[6][4] = {{false, true, false, false}, {false, true, false, false},
                               {false, true, false, false}, {false, true, false, false},
                               {false, false, false, true}, {false, false, false, false}};
    for (int rule = 5; rule >= 0; --rule) {
        selectRule(rule);
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(calc_->allFields[i]->isHidden(), hidden[rule][i]) << rule << " " << i;
        }
    }
    calc_->selectMode(6);  // only the control's selection moves
    EXPECT_EQ(calc_->segmentedControl.lock()->selectedSegmentIndex(), -1);
    EXPECT_TRUE(calc_->allFields[1]->isHidden());
    EXPECT_EQ(calc_->allIds,
              (std::vector<std::string>{"aTextField", "bTextField", "uTextField", "vTextField"}));
}

class RestoreTest : public testing::PagesTest {};

TEST_F(RestoreTest, SelectedRecordIsRestoredOnceAndLeavesTheStore) {
    auto& store = CalcManager::shared();
    store.currentSelectedCalculation = Calculation(
        {{"aTextField", "8"}, {"bTextField", "2"}, {"uTextField", "64"}, {"vTextField", ""}}, "x",
        {}, {{"inputCalculationSelection", 4}, {"appKey", "QZ"}});
    store.saveCurrentCalculations();
    showPages();
    EXPECT_EQ(calc_->segmentedControl.lock()->selectedSegmentIndex(), 4);
    EXPECT_TRUE(field("aTextField") && field("bTextField") && field("uTextField"));
    EXPECT_EQ(field("bTextField")->text(), "2");
    EXPECT_EQ(field("uTextField")->text(), "64");
    EXPECT_FALSE(driver_.find(ViewQuery::byId("vTextField")));  // hidden
    EXPECT_FALSE(store.currentSelectedCalculation);
    EXPECT_TRUE(defaults().objectForKey(kCurrentSelectedCalculationKey).isNull());
}

TEST_F(RestoreTest, CurrentInputIsRestoredAndKept) {
    CalcManager::shared().currentCalculation = Calculation({{"uTextField", "3"}}, "", {}, {});
    showPages();
    EXPECT_EQ(field("uTextField")->text(), "3");
    EXPECT_TRUE(CalcManager::shared().currentCalculation);
}

}  // namespace
}  // namespace app
