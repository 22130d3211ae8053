#include "engine/stores/KLVUserDefaults.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/base/EngineTestSupport.h"
#include "engine/stores/KLVFileLocations.h"
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

}  // namespace
}  // namespace engine
