#include "engine/base/KLVRegularExpression.h"

#include <gtest/gtest.h>

#include <string>

namespace engine {
namespace {

using Match = KLVRegularExpressionMatch;

TEST(KLVRegularExpressionTest, MatchesAnywhereInTheServersDialect) {
    const struct {
        const char* pattern;
        bool caseInsensitive;
        const char* text;
        Match expected;
    } cases[] = {
        {"b+c", false, "abbbcd", Match::kMatch},
        {"^abc$", false, "xabc", Match::kNoMatch},
        {"ABC", true, "xabcx", Match::kMatch},
        {"ABC", false, "xabcx", Match::kNoMatch},
        {"\\p{Lu}{2}", false, "aÄÖb", Match::kMatch},
        {"\\d{3}-\\d{4}", false, "call 555-1234", Match::kMatch},
    };
    for (const auto& c : cases) {
        const auto expression =
            KLVRegularExpression::regularExpressionWithPattern(c.pattern, c.caseInsensitive);
        ASSERT_TRUE(expression) << c.pattern;
        EXPECT_EQ(expression->firstMatchInString(c.text), c.expected) << c.pattern << " " << c.text;
    }
}

TEST(KLVRegularExpressionTest, RefusesWhatDoesNotCompile) {
    std::string reason;
    EXPECT_FALSE(KLVRegularExpression::regularExpressionWithPattern("(unclosed", false, &reason));
    EXPECT_NE(reason.find("U_REGEX"), std::string::npos) << reason;
}

TEST(KLVRegularExpressionTest, CatastrophicBacktrackingEndsWithoutAnAnswer) {
    const auto expression = KLVRegularExpression::regularExpressionWithPattern("^(a+)+$", false);
    ASSERT_TRUE(expression);
    EXPECT_EQ(expression->firstMatchInString(std::string(64, 'a') + "!"), Match::kTimedOut);
}

TEST(KLVRegularExpressionTest, CacheIsSharedAndBounded) {
    const auto first = KLVRegularExpression::regularExpressionWithPattern("shared", true);
    EXPECT_EQ(KLVRegularExpression::regularExpressionWithPattern("shared", true), first);
    EXPECT_NE(KLVRegularExpression::regularExpressionWithPattern("shared", false), first);
    for (std::size_t i = 0; i < 2 * KLVRegularExpression::kCacheLimit; ++i) {
        ASSERT_TRUE(
            KLVRegularExpression::regularExpressionWithPattern("p" + std::to_string(i), false));
    }
    EXPECT_EQ(KLVRegularExpression::cachedPatternCount(), KLVRegularExpression::kCacheLimit);
}

}  // namespace
}  // namespace engine
