#include "platform/foundation/Paths.h"

#include <gtest/gtest.h>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/ProcessInfo.h"
#include "testkit/TempHome.h"

namespace platform {
namespace {

class PathsTest : public testkit::TempHomeTest {};

TEST_F(PathsTest, RootComesFromOverrideThenEnvironment) {
    struct {
        const char* name;
        ProcessInfo::Environment environment;
        std::filesystem::path expected;
    } const cases[] = {
        {"TESSALINE_HOME first",
         {{"TESSALINE_HOME", "/data/t"}, {"XDG_DATA_HOME", "/xdg"}, {"HOME", "/home/u"}},
         "/data/t"},
        {"XDG_DATA_HOME next", {{"XDG_DATA_HOME", "/xdg"}, {"HOME", "/home/u"}}, "/xdg/tessaline"},
        {"relative XDG_DATA_HOME ignored",
         {{"XDG_DATA_HOME", "rel"}, {"HOME", "/home/u"}},
         "/home/u/.local/share/tessaline"},
        {"empty values ignored",
         {{"TESSALINE_HOME", ""}, {"XDG_DATA_HOME", ""}, {"HOME", "/home/u"}},
         "/home/u/.local/share/tessaline"},
    };
    setDataRoot({});
    for (const auto& c : cases) {
        ProcessInfo::processInfo().setEnvironment(c.environment);
        EXPECT_EQ(dataRoot(), c.expected) << c.name;
    }
    setDataRoot(homePath());
    EXPECT_EQ(dataRoot(), homePath());
}

TEST_F(PathsTest, DirectoriesAreCreatedOnDemand) {
    EXPECT_FALSE(fileExists(homePath() / "Library"));
    EXPECT_EQ(preferencesDirectory(), homePath() / "Library" / "Preferences");
    EXPECT_EQ(applicationSupportDirectory(), homePath() / "Library" / "Application Support");
    EXPECT_EQ(cachesDirectory(), homePath() / "Library" / "Caches");
    EXPECT_EQ(documentsDirectory(), homePath() / "Documents");
    for (const char* sub :

         {"Library/Preferences", "Library/Application Support", "Library/Caches", "Documents"}) {
        bool isDirectory = false;
        EXPECT_TRUE(fileExists(homePath() / sub, &isDirectory) && isDirectory) << sub;
    }
}

}  // namespace
}  // namespace platform
