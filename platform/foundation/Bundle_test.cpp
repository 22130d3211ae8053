#include "platform/foundation/Bundle.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SharedInstance.h"
#include "testkit/LogCapture.h"
#include "testkit/TempHome.h"

namespace platform {
namespace {

class BundleTest : public testkit::TempHomeTest {
  protected:
    void SetUp() override {
        resources = homePath() / "resources";
        ASSERT_TRUE(createDirectories(resources));
        ASSERT_TRUE(
            writePropertyListFile(resources / "Info.plist",
                                  Object::dict({{"CFBundleIdentifier", "com.example.tessaline"},
                                                {"CFBundleShortVersionString", "1.2"},
                                                {"Switch", false}}),
                                  PropertyListFormat::XML));
        write("Localizable.strings", "\"Result\" = \"Ergebnis\";\n\"Cancel\" = \"Abbrechen\";");
        write("Other.strings", "\"Result\" = \"Resultat\";");
        write("units.json", "[]");
    }

    void write(const std::string& name, std::string_view content) {
        ASSERT_TRUE(writeFileAtomically(resources / name, content));
    }

    std::filesystem::path resources;
    testkit::LogCapture log;
};

TEST_F(BundleTest, ReadsInfoPlist) {
    const Bundle bundle(resources);
    EXPECT_EQ(bundle.bundleIdentifier(), "com.example.tessaline");
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString"), Object("1.2"));
    EXPECT_TRUE(bundle.objectForInfoDictionaryKey("Missing").isNull());
}

TEST_F(BundleTest, UnreadableInfoPlistGivesAnEmptyDictionary) {
    write("Info.plist", "<plist><dict><key>a</key>");
    const Bundle bundle(resources);
    EXPECT_TRUE(bundle.infoDictionary().empty());
    EXPECT_EQ(bundle.bundleIdentifier(), "");
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(BundleTest, LooksUpLocalizedStrings) {
    const Bundle bundle(resources);
    struct {
        const char* key;
        const char* value;
        const char* table;
        const char* expected;
    } const cases[] = {
        {"Result", "", "", "Ergebnis"},          {"Result", "", "Other", "Resultat"},
        {"Missing", "", "", "Missing"},          {"Missing", "Fallback", "", "Fallback"},
        {"Result", "", "NoSuchTable", "Result"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bundle.localizedString(c.key, c.value, c.table), c.expected)
            << c.key << " in " << c.table;
    }
}

TEST_F(BundleTest, MalformedTableServesWhatParsedAndLogsOnce) {
    write("Broken.strings", "\"a\" = \"1\";\n\"b\" = \"2\"\n\"c\" = \"3\";");
    const Bundle bundle(resources);
    EXPECT_EQ(bundle.localizedString("a", "", "Broken"), "1");
    EXPECT_EQ(bundle.localizedString("c", "", "Broken"), "c");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("line 3"), std::string::npos) << log.lines()[0];
}

TEST_F(BundleTest, FindsResourcesOnlyInsideItsDirectory) {
    const Bundle bundle(resources);
    EXPECT_EQ(bundle.pathForResource("units", "json"), resources / "units.json");
    EXPECT_EQ(bundle.pathForResource("units.json", ""), resources / "units.json");
    EXPECT_EQ(bundle.pathForResource("units", "plist"), std::nullopt);
    ASSERT_TRUE(writeFileAtomically(homePath() / "secret.json", std::string_view("{}")));
    EXPECT_EQ(bundle.pathForResource("../secret", "json"), std::nullopt);
    EXPECT_EQ(bundle.pathForResource("/etc/hostname", ""), std::nullopt);
}

TEST_F(BundleTest, MainBundleDirectoryComesFromSettingThenEnvironment) {
    Bundle::setMainBundleDirectory(resources);
    EXPECT_EQ(Bundle::mainBundle().resourceDirectory(), resources);
    EXPECT_EQ(Bundle::mainBundle().localizedString("Cancel"), "Abbrechen");

    resetSharedInstances();  // forgets the directory set above
    auto environment = ProcessInfo::processInfo().environment();
    environment["TESSALINE_RESOURCES"] = (homePath() / "elsewhere").string();
    ProcessInfo::processInfo().setEnvironment(environment);
    EXPECT_EQ(Bundle::mainBundle().resourceDirectory(), homePath() / "elsewhere");
    EXPECT_EQ(Bundle::mainBundle().bundleIdentifier(), "");

    resetSharedInstances();
    environment.erase("TESSALINE_RESOURCES");
    ProcessInfo::processInfo().setEnvironment(environment);
    EXPECT_EQ(Bundle::mainBundle().resourceDirectory(),
              std::filesystem::current_path() / "app" / "resources");
}

// Queue workers keep running while the process exits, so the main bundle must outlive static
// destruction. A fresh process (the threadsafe style) builds the reader first, so that it is
// destroyed after the bundle's state; the reads would touch freed memory under AddressSanitizer.
TEST(BundleDeathTest, TheMainBundleOutlivesStaticDestruction) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            struct ReadAtExit {
                ~ReadAtExit() {
                    const bool kept = Bundle::mainBundle().resourceDirectory() ==
                                      "/nonexistent/resources-of-the-exit-test";
                    std::_Exit(kept ? 0 : 1);
                }
            };
            static ReadAtExit reader;
            Bundle::setMainBundleDirectory("/nonexistent/resources-of-the-exit-test");
            (void)Bundle::mainBundle();
            std::exit(2);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace platform
