#include "engine/stores/KLVUserDefaults.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/stores/KLVFileLocations.h"
#include "engine/base/KLVUserPropertyInternalNameMap.h"
#include "engine/base/EngineTestSupport.h"
#include "platform/foundation/FileAttributes.h"
#include "testkit/TempHome.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using platform::Object;

// Counts backup exclusions and fails them while told to.
class CountingAttributes : public platform::FileAttributes {
  public:
    bool setExcludedFromBackup(const fs::path& path, bool, platform::Error* error) override {
        excluded.push_back(path);
        if (fail) return platform::fail(error, {"Test", 5, "refused", {}});
        return true;
    }
    std::optional<bool> isImmutable(const fs::path&, platform::Error*) override { return false; }
    bool setImmutable(const fs::path&, bool, platform::Error*) override { return true; }
    std::vector<fs::path> excluded;
    bool fail = false;
};

class KLVUserDefaultsTest : public testkit::TempHomeTest {
  protected:
    KLVUserDefaultsTest() : attributes_(std::make_shared<CountingAttributes>()) {
        platform::FileAttributes::install(attributes_);
    }
    ~KLVUserDefaultsTest() override { platform::FileAttributes::install(nullptr); }

    std::shared_ptr<CountingAttributes> attributes_;
    LogCapture log_;
};

TEST_F(KLVUserDefaultsTest, SuiteFileIsExcludedOnceItExists) {
    KLVUserDefaults suite(std::string("KLVAnalyticsSuiteName"));
    suite.synchronize();  // nothing written yet: no file
    EXPECT_TRUE(attributes_->excluded.empty());
    EXPECT_FALSE(suite.isPreferenceFileExcluded());

    attributes_->fail = true;
    suite.setBool(true, "flag");
    suite.synchronize();
    EXPECT_EQ(log_.count(41000), 1u);
    EXPECT_FALSE(suite.isPreferenceFileExcluded());

    attributes_->fail = false;
    suite.synchronize();
    suite.synchronize();
    EXPECT_TRUE(suite.isPreferenceFileExcluded());
    const fs::path file = KLVPreferencesFilePath("KLVAnalyticsSuiteName");
    EXPECT_EQ(attributes_->excluded, (std::vector<fs::path>{file, file}));
}

TEST_F(KLVUserDefaultsTest, SharedDefaultsNeverTouchTheAppsFile) {
    auto& shared = KLVUserDefaults::sharedUserDefaults();
    EXPECT_EQ(&shared, &KLVUserDefaults::sharedUserDefaults());
    EXPECT_FALSE(shared.suiteName());
    shared.setInteger(1, "/nexory/measurement/measurement_enabled_state");
    shared.synchronize();
    EXPECT_TRUE(attributes_->excluded.empty());
    EXPECT_EQ(KLVUserDefaults().integerForKey("/nexory/measurement/measurement_enabled_state"), 1);
}

TEST_F(KLVUserDefaultsTest, ValuesAndConversions) {
    KLVUserDefaults suite(std::string("com.nexory.zkt.measurement.tcf.userdefaults"));
    EXPECT_TRUE(suite.setObject(platform::Date{12.5}, "date"));
    EXPECT_TRUE(suite.setObject(platform::Data{1, 2}, "data"));
    EXPECT_TRUE(suite.setObject("YES", "text"));
    EXPECT_EQ(suite.objectForKey("date"), Object(platform::Date{12.5}));
    EXPECT_EQ(suite.objectForKey("data"), Object(platform::Data{1, 2}));
    EXPECT_FALSE(suite.boolForKey("text"));  // only numbers count
    EXPECT_EQ(suite.integerForKey("missing"), 0);
    EXPECT_EQ(suite.doubleForKey("text"), 0.0);

    EXPECT_FALSE(suite.setObject(Object::array({nullptr}), "bad"));
    EXPECT_FALSE(suite.setObject(1, ""));
    EXPECT_TRUE(suite.objectForKey("").isNull());
    EXPECT_EQ(log_.count(41003), 1u);
    EXPECT_EQ(log_.count(41002), 1u);
    EXPECT_EQ(log_.count(41001), 1u);

    suite.clearAllData();
    for (const char* key : {"date", "data", "text"})
        EXPECT_TRUE(suite.objectForKey(key).isNull());
    // Another object of the same suite sees the same values.
    suite.setDouble(0.5, "d");
    EXPECT_EQ(KLVUserDefaults(std::string("com.nexory.zkt.measurement.tcf.userdefaults"))
                  .doubleForKey("d"),
              0.5);
}

TEST(KLVUserPropertyInternalNameMapTest, HoldsTheTenReservedNames) {
    const auto& map = KLVUserPropertyInternalNameMap();
    EXPECT_EQ(map.size(), 10u);
    EXPECT_EQ(map.at("user_id"), "_id");
    EXPECT_EQ(map.at("first_open_time"), "_fot");
    EXPECT_EQ(map.at("tarnwell_last_notification"), "_ln");
    EXPECT_EQ(&map, &KLVUserPropertyInternalNameMap());
}

}  // namespace
}  // namespace engine
