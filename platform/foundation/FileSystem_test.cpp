#include "platform/foundation/FileSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/foundation/CocoaError.h"
#include "testkit/TempHome.h"

namespace platform {
namespace {

class FileSystemTest : public testkit::TempHomeTest {
  protected:
    std::vector<std::string> namesInHome() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(homePath())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string content(const std::filesystem::path& path) const {
        return readTextFile(path).value_or("<unreadable>");
    }
};

TEST_F(FileSystemTest, AtomicWriteReplacesContentAndLeavesNothingElse) {
    const auto file = homePath() / "state.bin";
    ASSERT_TRUE(writeFileAtomically(file, std::string_view("old")));
    ASSERT_TRUE(writeFileAtomically(file, Data{'n', 'e', 'w'}));
    EXPECT_EQ(content(file), "new");
    EXPECT_EQ(readFile(file), (Data{'n', 'e', 'w'}));
    EXPECT_EQ(namesInHome(), std::vector<std::string>{"state.bin"});
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(FileSystemTest, CrashBeforeRenameLeavesTheOldFileWhole) {
    const auto file = homePath() / "state.bin";
    ASSERT_TRUE(writeFileAtomically(file, std::string_view("old content")));
    std::filesystem::path leftover;
    Error error;
    EXPECT_FALSE(detail::writeFileAtomically(file, "new content", &error,
                                             [&](const std::filesystem::path& temporary) {
                                                 leftover = temporary;
                                                 return false;  // the process dies here
                                             }));
    EXPECT_EQ(content(file), "old content");
    EXPECT_EQ(leftover.parent_path(), homePath());
    EXPECT_EQ(content(leftover), "new content");
    // The next writer is not disturbed by the leftover.
    ASSERT_TRUE(writeFileAtomically(file, std::string_view("newer")));
    EXPECT_EQ(content(file), "newer");
}

TEST_F(FileSystemTest, FailedWritesReportAndCleanUp) {
    Error error;
    const auto missingDir = homePath() / "no" / "such" / "file";
    EXPECT_FALSE(writeFileAtomically(missingDir, std::string_view("x"), &error));
    EXPECT_EQ(error.domain, kCocoaErrorDomain);
    EXPECT_EQ(error.code, kFileNoSuchFileError);
    EXPECT_EQ(error.userInfo[kFilePathErrorKey], Object(missingDir.string()));
    EXPECT_EQ(error.userInfo[kPOSIXErrorCodeKey], Object(ENOENT));

    // Renaming over a directory fails after the temporary file was written: it must not stay.
    ASSERT_TRUE(createDirectories(homePath() / "dir" / "inner"));
    EXPECT_FALSE(writeFileAtomically(homePath() / "dir", std::string_view("x"), &error));
    EXPECT_EQ(error.code, kFileWriteUnknownError);
    EXPECT_EQ(namesInHome(), std::vector<std::string>{"dir"});
}

TEST_F(FileSystemTest, ReadFailuresAreErrors) {
    Error error;
    EXPECT_FALSE(readFile(homePath() / "missing", &error));
    EXPECT_EQ(error.code, kFileReadNoSuchFileError);
    EXPECT_FALSE(readFile(homePath(), &error));
    EXPECT_EQ(error.code, kFileReadUnknownError);
    ASSERT_TRUE(writeFileAtomically(homePath() / "big", std::string(100, 'x')));
    EXPECT_FALSE(readFile(homePath() / "big", &error, 99));
    EXPECT_EQ(error.code, kFileReadTooLargeError);
    EXPECT_TRUE(readFile(homePath() / "big", &error, 100));
}

TEST_F(FileSystemTest, DirectoriesAndRemoval) {
    const auto tree = homePath() / "a" / "b";
    ASSERT_TRUE(createDirectories(tree));
    ASSERT_TRUE(createDirectories(tree));  // existing is fine
    ASSERT_TRUE(writeFileAtomically(tree / "f", std::string_view("x")));
    bool isDirectory = true;
    EXPECT_TRUE(fileExists(tree / "f", &isDirectory));
    EXPECT_FALSE(isDirectory);

    Error error;
    EXPECT_FALSE(createDirectories(tree / "f", &error));  // a file is in the way
    EXPECT_TRUE(removeItem(homePath() / "a"));
    EXPECT_FALSE(fileExists(homePath() / "a"));
    EXPECT_FALSE(removeItem(homePath() / "a", &error));
    EXPECT_EQ(error.code, kFileNoSuchFileError);
}

}  // namespace
}  // namespace platform
