#include "platform/host/TRWApp.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/utilities/WDLLogger.h"
#include "testkit/LogCapture.h"
#include "testkit/TempHome.h"

namespace platform {
namespace {

using ::testing::ElementsAre;

// What another component asks the host for.
class Greeter {
  public:
    virtual ~Greeter() = default;
    virtual std::string greeting() const = 0;
};

class Unregistered {
  public:
    virtual ~Unregistered() = default;
};

class HelloGreeter : public Greeter {
  public:
    std::string greeting() const override { return "hello"; }
};

class RecordingLibrary : public TRWLibrary {
  public:
    std::vector<TRWComponent> componentsToRegister() const override {
        ++asked;
        return {TRWComponent::componentWithProtocol<Greeter>(
            [] { return std::make_shared<HelloGreeter>(); })};
    }
    void configureWithApp(const TRWApp& app) override {
        configuredWith.push_back(app.options().nexoryAppID);
    }

    mutable int asked = 0;
    std::vector<std::string> configuredWith;
};

constexpr char kServicePlist[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>NEXORY_APP_ID</key><string>1:1234567890:ios:abcdef</string>
</dict></plist>)";

constexpr char kInfoPlist[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.example.tessaline</string>
<key>TARNWELL_ANALYTICS_COLLECTION_DEACTIVATED</key><true/>
</dict></plist>)";

class TRWAppTest : public testkit::TempHomeTest {
  protected:
    void useBundle(bool withServicePlist) {
        const auto directory = homePath() / "Bundle";
        std::filesystem::create_directories(directory);
        std::ofstream(directory / "Info.plist") << kInfoPlist;
        if (withServicePlist)
            std::ofstream(directory / "NexoryService-Info.plist") << kServicePlist;
        Bundle::setMainBundleDirectory(directory);
    }

    testkit::LogCapture log;
};

TEST_F(TRWAppTest, DefaultOptionsComeFromTheBundle) {
    useBundle(true);
    const auto options = TRWOptions::defaultOptions();
    ASSERT_TRUE(options);
    EXPECT_EQ(options->nexoryAppID, "1:1234567890:ios:abcdef");
    EXPECT_TRUE(options->isAnalyticsCollectionEnabled);
    EXPECT_TRUE(options->isAnalyticsCollectionDeactivated);
}

TEST_F(TRWAppTest, ConfigureOnceTellsTheLibrariesAndResolvesComponents) {
    useBundle(true);
    const auto library = std::make_shared<RecordingLibrary>();
    TRWApp::registerInternalLibrary(library, "tarn-analytics", "11.1.0");
    EXPECT_FALSE(TRWApp::isDefaultAppConfigured());
    TRWApp::configure();
    TRWApp::configure();
    EXPECT_TRUE(TRWApp::isDefaultAppConfigured());
    EXPECT_EQ(library->asked, 1);
    EXPECT_THAT(library->configuredWith, ElementsAre("1:1234567890:ios:abcdef"));
    const auto app = TRWApp::defaultApp();
    ASSERT_TRUE(app);
    const auto greeter = app->instanceForProtocol<Greeter>();
    ASSERT_TRUE(greeter);
    EXPECT_EQ(greeter->greeting(), "hello");

    EXPECT_EQ(app->instanceForProtocol<Unregistered>(), nullptr);
    EXPECT_THAT(log.lines(),
                ElementsAre("com.nexory.tarnwell.core error [TarnwellCore][I-COR000003] "
                            "Default app has already been configured."));
    EXPECT_EQ(TRWTarnwellVersion(), "11.1.0");
}

TEST_F(TRWAppTest, MissingServicePropertyListLeavesTheHostUnconfigured) {
    useBundle(false);
    TRWApp::configure();
    EXPECT_FALSE(TRWApp::isDefaultAppConfigured());
    EXPECT_THAT(log.lines(),
                ElementsAre("com.nexory.tarnwell.core error [TarnwellCore][I-COR000012] "
                            "Could not locate configuration file: "
                            "'NexoryService-Info.plist'."));
}

TEST_F(TRWAppTest, HostDebugArgumentsSetTheUtilitiesLogger) {
    ProcessInfo::processInfo().setArguments({"tessaline", "-TRWDebugEnabled"});
    TRWApp::configure(TRWOptions{"1:1:ios:1", true, false});
    EXPECT_EQ(WDLLoggerLevel(), kWDLLoggerLevelDebug);
}

}  // namespace
}  // namespace platform
