#include "engine/base/KLVAEU.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/base/EngineTestSupport.h"
#include "platform/foundation/Bundle.h"

namespace engine {
namespace {

class KLVAEUTest : public EngineTest {
  protected:
    // A main bundle of our own, with `plist` as its Info.plist when given.
    std::filesystem::path makeBundle(const std::string& name, const std::string& plist = "") {
        const auto directory = dataRoot() / name;
        std::filesystem::create_directories(directory);
        if (!plist.empty()) std::ofstream(directory / "Info.plist") << plist;
        platform::Bundle::setMainBundleDirectory(directory);
        return directory;
    }
};

constexpr char kReceiptCheckOff[] =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>TarnwellAppStoreReceiptURLCheckEnabled</key><false/>
</dict></plist>)";

TEST_F(KLVAEUTest, Receipts) {
    const auto bundle = makeBundle("Tessaline.app");
    EXPECT_EQ(KLVAEU::appStoreRURL(), bundle / "StoreKit" / "receipt");
    EXPECT_FALSE(KLVAEU::isASRS());
    std::filesystem::create_directories(bundle / "StoreKit");
    std::ofstream(bundle / "StoreKit" / "sandboxReceipt") << "receipt";
    EXPECT_EQ(KLVAEU::appStoreRURL(), bundle / "StoreKit" / "sandboxReceipt");
    EXPECT_TRUE(KLVAEU::isASRS());
    EXPECT_FALSE(KLVAEU::isFAS());

    makeBundle("NoCheck.app", kReceiptCheckOff);
    EXPECT_EQ(KLVAEU::appStoreRURL(), std::nullopt);
    EXPECT_FALSE(KLVAEU::isASRS());
}

TEST_F(KLVAEUTest, AppExtensions) {
    makeBundle("Tessaline.app");
    EXPECT_FALSE(KLVAEU::isAEX());
    makeBundle("Widget.appex");
    EXPECT_TRUE(KLVAEU::isAEX());
}

TEST_F(KLVAEUTest, SimulatorsAreNeverStoreInstalls) {
    const auto bundle = makeBundle("Store.app");
    std::filesystem::create_directories(bundle / "SC_Info");
    EXPECT_EQ(KLVAEU::isNOD(), KLVAEU::deviceModel() == "x86_64");
    EXPECT_EQ(KLVAEU::isFAS(), !KLVAEU::isNOD());
    EXPECT_FALSE(KLVAEU::systemVersion().empty());
}

}  // namespace
}  // namespace engine
