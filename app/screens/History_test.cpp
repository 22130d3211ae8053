#include <gtest/gtest.h>

#include "app/screens/CalcManager.h"
#include "app/screens/HistoryTableViewController.h"
#include "app/services/ServicesTestSupport.h"
#include "platform/foundation/SharedInstance.h"

namespace app {
namespace {

using platform::Array;
using platform::Dictionary;
using platform::Object;

class StoreTest : public testing::ServicesTest {
  protected:
    static Calculation record(const std::string& latex) {
        return Calculation({{"aTextField", latex}}, latex, {}, {});
    }
    static std::vector<std::string> latexes() {
        std::vector<std::string> out;
        for (const auto& c : CalcManager::shared().calculations)
            out.push_back(c.latexString);
        return out;
    }
    static std::vector<std::string> storedLatexes() {
        std::vector<std::string> out;
        const auto stored = defaults().objectForKey(kCalculationsKey);
        for (const auto& d : stored.asArray())
            out.push_back(d.asDictionary().at("latexString").asString());
        return out;
    }
    void seed(const std::vector<std::string>& list) {
        auto& store = CalcManager::shared();
        store.clearCalculations();
        for (auto it = list.rbegin(); it != list.rend(); ++it)
            store.insertCalculation(record(*it));
    }
};

TEST_F(StoreTest, RecordsReadWhatHasTheRightKindAndSkipTheRest) {
    defaults().setObject(
        Array{Dictionary{{"inputParameters", Dictionary{{"aTextField", "2"}}},
                         {"setupParameter", "not a dictionary"}},
              Dictionary{{"latexString", "x"}, {"inputParameters", Dictionary{{"a", 1}}}}},
        kCalculationsKey);
    const auto& store = CalcManager::shared();
    ASSERT_EQ(store.calculations.size(), 2u);
    EXPECT_EQ(store.calculations[0], Calculation({{"aTextField", "2"}}, "", {}, {}));
    EXPECT_EQ(store.calculations[1], Calculation({}, "x", {}, {}));
}

TEST_F(StoreTest, AnEmptyOrDamagedListIsWrittenBackAsAnEmptyArray) {
    for (const Object& stored : {Object(Array{}), Object("damaged")}) {
        platform::resetSharedInstances();
        defaults().setObject(stored, kCalculationsKey);
        EXPECT_TRUE(CalcManager::shared().calculations.empty());
        EXPECT_EQ(defaults().objectForKey(kCalculationsKey), Object(Array{}));
    }
}

TEST_F(StoreTest, InsertMoveAndRemoveSaveTheOrder) {
    struct Case {
        std::vector<std::string> before;
        std::function<void(CalcManager&)> change;
        std::vector<std::string> after;
    };
    const Case cases[] = {
        {{"A", "B", "C"},
         [](CalcManager& s) { s.insertCalculation(record("N")); },
         {"N", "A", "B", "C"}},
        {{"A", "B", "C", "D"},
         [](CalcManager& s) { s.moveCalculation(0, 2); },
         {"B", "C", "A", "D"}},
        {{"A", "B", "C", "D"},
         [](CalcManager& s) { s.moveCalculation(3, 0); },
         {"D", "A", "B", "C"}},
        {{"A", "B", "C"}, [](CalcManager& s) { s.moveCalculation(1, 1); }, {"A", "B", "C"}},
        {{"A", "B", "C"}, [](CalcManager& s) { s.removeCalculation(1); }, {"A", "C"}},
        // Indices outside the list change nothing (and do not crash).
        {{"A", "B"}, [](CalcManager& s) { s.removeCalculation(2); }, {"A", "B"}},
        {{"A", "B"}, [](CalcManager& s) { s.moveCalculation(0, 5); }, {"A", "B"}},
        {{"A", "B"}, [](CalcManager& s) { s.moveCalculation(7, 0); }, {"A", "B"}},
        {{}, [](CalcManager& s) { s.removeCalculation(0); }, {}},
    };
    for (const auto& c : cases) {
        seed(c.before);
        c.change(CalcManager::shared());
        EXPECT_EQ(latexes(), c.after);
        EXPECT_EQ(storedLatexes(), c.after);
    }
}

TEST_F(StoreTest, CurrentRecordsAreWrittenOrRemoved) {
    auto& store = CalcManager::shared();
    store.currentCalculation = Calculation({{"uTextField", "3"}}, "", {}, {});
    store.saveCurrentCalculations();
    EXPECT_EQ(defaults().objectForKey(kCurrentCalculationKey),
              Object(Dictionary{{"inputParameters", Dictionary{{"uTextField", "3"}}},
                                {"latexString", ""},
                                {"solutionSteps", Array{}},
                                {"setupParameter", Dictionary{}}}));
    EXPECT_TRUE(defaults().objectForKey(kCurrentSelectedCalculationKey).isNull());
    platform::resetSharedInstances();
    // Read back only under the app's own bundle (the test program's resources): fail here
    // rather than crash.
    ASSERT_TRUE(CalcManager::shared().currentCalculation.has_value());
    EXPECT_EQ(CalcManager::shared().currentCalculation->inputParameters.at("uTextField"), "3");
    CalcManager::shared().currentCalculation.reset();
    CalcManager::shared().saveCurrentCalculations();
    EXPECT_TRUE(defaults().objectForKey(kCurrentCalculationKey).isNull());
}

TEST_F(StoreTest, ResetSeedsTheExample) {
    seed({"A", "B"});
    CalcManager::shared().resetHistory();
    EXPECT_EQ(
        defaults().objectForKey(kCalculationsKey),
        Object(Array{Dictionary{
            {"inputParameters", Dictionary{{"aTextField", "2"},
                                           {"bTextField", "3"},
                                           {"uTextField", "4"},
                                           {"vTextField", "6"}}},
            {"latexString", "\\log_{2^3}(4^6)"},
            {"solutionSteps", Array{}},
            {"setupParameter", Dictionary{{"inputCalculationSelection", 5}, {"appKey", "QZ"}}}}}));
}

// A picked record becomes the one the next calculate page restores, and the history hands the
// showing of the pages to whoever framed it; a row that is gone, or no frame, shows nothing.
TEST_F(StoreTest, APickedRecordIsSelectedAndThePagesAreShownByTheFrame) {
    seed({"A", "B"});
    auto history = std::make_shared<HistoryTableViewController>();
    std::vector<platform::UIViewController*> shownFrom;
    history->showCalculationPages = [&](platform::UIViewController& from) {
        shownFrom.push_back(&from);
    };
    show(history);
    history->openHistoryRecord(1);
    auto& store = CalcManager::shared();
    ASSERT_TRUE(store.currentSelectedCalculation);
    EXPECT_EQ(store.currentSelectedCalculation->latexString, "B");
    EXPECT_FALSE(defaults().objectForKey(kCurrentSelectedCalculationKey).isNull());
    EXPECT_EQ(shownFrom, std::vector<platform::UIViewController*>{history.get()});
    history->openHistoryRecord(2);
    EXPECT_EQ(shownFrom.size(), 1u);
    history->showCalculationPages = nullptr;
    history->openHistoryRecord(0);
    EXPECT_EQ(store.currentSelectedCalculation->latexString, "A");
}

}  // namespace
}  // namespace app
