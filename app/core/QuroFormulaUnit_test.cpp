#include "app/core/QuroFormulaUnit.h"

#include <gtest/gtest.h>

#include "app/core/CoreTestSupport.h"
#include "app/core/JsonDecoding.h"

namespace app {
namespace {

using testing::CoreTest;
using testing::TemporaryFolder;

class QuroFormulaUnitTest : public CoreTest {
  protected:
    void useResources(const TemporaryFolder& folder) {
        platform::resetSharedInstances();
        platform::Bundle::setMainBundleDirectory(folder.path());
    }
};

TEST_F(QuroFormulaUnitTest, LoadsTheAppsUnits) {
    const auto& units = QuroFormulaUnit::shared().units;
    EXPECT_EQ(QuroFormulaUnit::shared().defaultUnitKey, "m");
    const auto meter =
        std::find_if(units.begin(), units.end(), [](const Unit& unit) { return unit.key == "m"; });
    ASSERT_NE(meter, units.end());
    EXPECT_EQ(meter->factor, 1.0);
}

TEST_F(QuroFormulaUnitTest, LoadingFailures) {
    TemporaryFolder folder;
    useResources(folder);
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(QuroFormulaUnit::shared().units.empty());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "configurationFailed\n");

    QuroFormulaUnit& table = QuroFormulaUnit::shared();
    folder.write("good.json", R"([{"key": "km", "latex": "\\text{km}", "name": "Kilometer",
        "factor": 1000, "extra": true}])");
    ASSERT_TRUE(table.loadUnits("good"));
    ASSERT_EQ(table.units.size(), 1u);
    EXPECT_EQ(table.units[0], (Unit{"km", "\\text{km}", "Kilometer", 1000}));

    const std::pair<const char*, const char*> broken[] = {
        {"notjson", "[{"},
        {"missing", R"([{"key": "m", "latex": "m", "name": "Meter"}])"},
        {"mistyped", R"([{"key": "m", "latex": "m", "name": "Meter", "factor": "1"}])"},

    };
    for (const auto& [name, bytes] : broken) {
        folder.write(std::string(name) + ".json", bytes);
        platform::Error error;
        EXPECT_FALSE(table.loadUnits(name, &error)) << name;
        EXPECT_EQ(error.domain, kDecodingErrorDomain) << name;
        EXPECT_EQ(table.units.size(), 1u) << "kept on failure: " << name;
    }
    platform::Error error;
    EXPECT_FALSE(table.loadUnits("absent", &error));
    EXPECT_EQ(error.description, "configurationFailed");

    // A resource that is there but cannot be read fails the load, and construction carries on.
    std::filesystem::create_directory(folder.path() / "unitsOfLength.json");
    error = {};
    EXPECT_FALSE(table.loadUnits("unitsOfLength", &error));
    EXPECT_EQ(error.description, "configurationFailed");
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(QuroFormulaUnit().units.empty());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "configurationFailed\n");
}

TEST_F(QuroFormulaUnitTest, ReplaceUnit) {
    QuroFormulaUnit& table = QuroFormulaUnit::shared();
    EXPECT_EQ(table.replaceUnit("m^{2}", false), "m^{2}");  // no target unit
    table.targetUnit = Unit{"m", "\\text{m}", "Meter", 1};
    EXPECT_EQ(table.replaceUnit("m^{2}", false), "m^{2}");

    table.targetUnit = Unit{"cm", "\\text{cm}", "Centimeter", 0.01};
    struct Case {
        const char* text;
        bool useKey;
        const char* replaced;
    };
    const Case cases[] = {
        {"m", false, "\\text{cm}"},  // the unit's LaTeX goes in as it stands
        {"m^{2}", false, "\\text{cm}^{2}"},
        {"m/s", true, "cm/s"},
        {"km", false, "km"},
        {"\u00B5m", false, "\u00B5m"},  // µ is a letter: no word boundary before m
        {"m m", true, "cm cm"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(table.replaceUnit(c.text, c.useKey), c.replaced) << c.text;

    table.targetUnit = Unit{"$1", "$0\\1", "odd", 1};
    EXPECT_EQ(table.replaceUnit("m", false), "$0\\1");
    EXPECT_EQ(table.replaceUnit("m", true), "$1");
}

}  // namespace
}  // namespace app
