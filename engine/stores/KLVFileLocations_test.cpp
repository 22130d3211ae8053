#include "engine/stores/KLVFileLocations.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Paths.h"
#include "testkit/TempHome.h"

namespace engine {
namespace {

namespace fs = std::filesystem;

class KLVFileLocationsTest : public testkit::TempHomeTest {};

TEST_F(KLVFileLocationsTest, Paths) {
    const fs::path engineDirectory =
        platform::applicationSupportDirectory() / "Nexory" / "Measurement";
    EXPECT_EQ(KLVMeasurementFilePath("nexory-app-measurement.sql"),
              (engineDirectory / "nexory-app-measurement.sql").string());
    EXPECT_EQ(KLVMeasurementPlistPath("x"), (engineDirectory / "x.plist").string());
    EXPECT_EQ(KLVMeasurementPlistPath("x.plist"), KLVMeasurementPlistPath("x"));
    EXPECT_EQ(KLVPreferencesFilePath("x.plist"),
              (platform::libraryDirectory() / "Preferences" / "x.plist.plist").string());
    EXPECT_EQ(KLVMeasurementFilePath(""), "");
    EXPECT_EQ(KLVMeasurementPlistPath(""), "");
    EXPECT_EQ(KLVPreferencesFilePath(""), "");
}

TEST_F(KLVFileLocationsTest, DeleteFile) {
    platform::Error error;
    EXPECT_FALSE(KLVDeleteFileAtPath("", &error));
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.description, "Received empty path for deleting file");
    const fs::path file = homePath() / "f";
    std::ofstream(file) << "x";
    EXPECT_TRUE(KLVDeleteFileAtPath(file.string(), &error));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(KLVDeleteFileAtPath(file.string(), &error));
    EXPECT_TRUE(KLVExcludePathFromBackup(homePath().string(), &error));
}

TEST_F(KLVFileLocationsTest, MigrationOfThePersistedConfigurationFile) {
    enum What { Nothing, File, Directory };
    struct Case {
        const char* name;
        What old;
        What current;
        bool result;
        // What lies at the two places afterwards: the content of a file, "dir", or "".
        const char* oldAfter;
        const char* currentAfter;
    };
    const Case cases[] = {
        {"neither", Nothing, Nothing, true, "", ""},
        {"only the old file", File, Nothing, true, "", "old"},
        {"both files", File, File, true, "", "current"},
        {"old is a directory", Directory, Nothing, false, "dir", ""},
        {"new is a directory", File, Directory, false, "old", "dir"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testkit::TempHome home;
        const fs::path oldPath = KLVPreferencesFilePath("cfg");
        const fs::path newPath = KLVMeasurementPlistPath("cfg");
        const auto place = [](const fs::path& path, What what, const char* content) {
            if (what == Nothing) return;
            fs::create_directories(what == Directory ? path : path.parent_path());
            if (what == File) std::ofstream(path) << content;
        };
        place(oldPath, c.old, "old");
        place(newPath, c.current, "current");
        EXPECT_EQ(KLVMigratePreferencesFile("cfg"), c.result);
        const auto contents = [](const fs::path& path) -> std::string {
            if (fs::is_directory(path)) return "dir";
            return platform::readTextFile(path).value_or("");
        };
        EXPECT_EQ(contents(oldPath), c.oldAfter);
        EXPECT_EQ(contents(newPath), c.currentAfter);
    }
    EXPECT_FALSE(KLVMigratePreferencesFile(""));
}

}  // namespace
}  // namespace engine
