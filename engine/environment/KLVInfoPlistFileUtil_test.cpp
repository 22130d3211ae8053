#include "engine/environment/KLVInfoPlistFileUtil.h"

#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"

namespace engine {
namespace {

using platform::Dictionary;

class KLVInfoPlistFileUtilTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        mainFolder_ = dataRoot() / "main";
        engineFolder_ = dataRoot() / "engine";
        std::filesystem::create_directories(mainFolder_);
        std::filesystem::create_directories(engineFolder_);
        platform::Bundle::setMainBundleDirectory(mainFolder_);
        platform::ProcessInfo::processInfo().setEnvironment(
            {{kKLVEngineResourcesVariable, engineFolder_.string()}});
    }

    static void writeServicePlist(const std::filesystem::path& folder, const Dictionary& values) {
        ASSERT_TRUE(platform::writePropertyListFile(folder / "NexoryService-Info.plist", values,
                                                    platform::PropertyListFormat::XML));
    }

    std::filesystem::path mainFolder_;
    std::filesystem::path engineFolder_;
};

TEST_F(KLVInfoPlistFileUtilTest, NoFileAnywhere) {
    EXPECT_EQ(KLVInfoPlistFileUtil::nexoryServiceInfoPlistPath(), std::nullopt);
    EXPECT_EQ(KLVInfoPlistFileUtil::dictionaryFromNexoryServiceInfoPlist(), std::nullopt);
}

TEST_F(KLVInfoPlistFileUtilTest, FoundInTheEngineBundleAlone) {
    writeServicePlist(engineFolder_, {{"NEXORY_APP_ID", "1:engine"}});
    EXPECT_EQ(KLVInfoPlistFileUtil::nexoryServiceInfoPlistPath(),
              engineFolder_ / "NexoryService-Info.plist");
    EXPECT_EQ(KLVInfoPlistFileUtil::dictionaryFromNexoryServiceInfoPlist(),
              (Dictionary{{"NEXORY_APP_ID", "1:engine"}}));
}

TEST_F(KLVInfoPlistFileUtilTest, MainBundleComesFirst) {
    writeServicePlist(engineFolder_, {{"NEXORY_APP_ID", "1:engine"}});
    writeServicePlist(mainFolder_, {{"NEXORY_APP_ID", "1:main"}, {"VINTU_APP_ID", "v"}});
    EXPECT_EQ(KLVInfoPlistFileUtil::dictionaryFromNexoryServiceInfoPlist(),
              (Dictionary{{"NEXORY_APP_ID", "1:main"}, {"VINTU_APP_ID", "v"}}));
}

TEST_F(KLVInfoPlistFileUtilTest, NotADictionaryReadsAsNothing) {
    ASSERT_TRUE(platform::writePropertyListFile(mainFolder_ / "NexoryService-Info.plist",
                                                platform::Object::array({"x"}),
                                                platform::PropertyListFormat::XML));
    EXPECT_TRUE(KLVInfoPlistFileUtil::nexoryServiceInfoPlistPath());
    EXPECT_EQ(KLVInfoPlistFileUtil::dictionaryFromNexoryServiceInfoPlist(), std::nullopt);

    ASSERT_TRUE(platform::writeFileAtomically(mainFolder_ / "NexoryService-Info.plist",
                                              std::string_view("garbage <plist")));
    EXPECT_EQ(KLVInfoPlistFileUtil::dictionaryFromNexoryServiceInfoPlist(), std::nullopt);
}

}  // namespace
}  // namespace engine
