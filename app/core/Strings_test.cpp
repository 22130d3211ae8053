#include "app/core/Strings.h"

#include <gtest/gtest.h>

namespace app {
namespace {

TEST(StringsTest, ReplaceAllReplacesLeftToRightWithoutRereading) {
    const struct {
        const char* text;
        const char* from;
        const char* to;
        const char* expected;
    } cases[] = {
        {"%0 and %0", "%0", "x", "x and x"},
        {"aaa", "aa", "b", "ba"},    // non-overlapping, from the left
        {"ab", "a", "aa", "aab"},    // what was put in is not read again
        {"abc", "", "x", "abc"},     // nothing to look for
        {"a§b", "§", "--", "a--b"},  // a two-byte character
        {"", "a", "b", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(replaceAll(c.text, c.from, c.to), c.expected) << c.text << " " << c.from;
}

TEST(StringsTest, SplitDroppingEmptyLeavesOutEmptyPieces) {
    using Pieces = std::vector<std::string>;
    const struct {
        const char* text;
        const char* separator;
        Pieces expected;
    } cases[] = {
        {"1/2", "/", {"1", "2"}},
        {"/1//2/", "/", {"1", "2"}},
        {"key§§3§", "§", {"key", "3"}},
        {"§", "§", {}},
        {"", "/", {}},
        {"a&&t=7s&", "&", {"a", "t=7s"}},
        {"abc", "", {"abc"}},
        {"", "", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(splitDroppingEmpty(c.text, c.separator), c.expected) << c.text;
}

}  // namespace
}  // namespace app
