#include "engine/base/KLVDictionaryQuery.h"

#include <gtest/gtest.h>

namespace engine {
namespace {

TEST(KLVDictionaryQueryTest, QueryStrings) {
    EXPECT_EQ(klv_queryString({}), "");
    EXPECT_EQ(klv_queryString({{"platform", "ios"}, {"zkt_version", 110100000}}),
              "platform=ios&zkt_version=110100000");
    // Characters that would split or change a pair are encoded; those a query allows stay.
    EXPECT_EQ(klv_queryString({{"q", "a&b=c+d"}, {"p", "x y/z?@~"}}),
              "p=x%20y/z?@~&q=a%26b%3Dc%2Bd");
    EXPECT_EQ(klv_queryString({{"k=1", "\xC3\xA9"}, {"n", 2.5}, {"t", true}}),
              "k%3D1=%C3%A9&n=2.5&t=1");
}

TEST(KLVDictionaryQueryTest, ParsingQueryStrings) {
    EXPECT_EQ(klv_dictionaryWithHttpArgumentsString("a=1&b=&c"),
              (platform::Dictionary{{"a", "1"}, {"b", ""}, {"c", ""}}));
    EXPECT_EQ(klv_dictionaryWithHttpArgumentsString("k=first&&k=second&x=a+b%20c&y=1=2"),
              (platform::Dictionary{{"k", "first"}, {"x", "a b c"}, {"y", "1=2"}}));
    EXPECT_EQ(klv_dictionaryWithHttpArgumentsString("bad=%zz&%zz=v"),
              (platform::Dictionary{{"", "v"}, {"bad", ""}}));
    EXPECT_EQ(klv_dictionaryWithHttpArgumentsString(""), platform::Dictionary{});
}

TEST(KLVDictionaryQueryTest, RoundTrip) {
    const platform::Dictionary original{{"a b", "x&y=z+w"}, {"gclid", "Cj0KCQ-_~."}};
    EXPECT_EQ(klv_dictionaryWithHttpArgumentsString(klv_queryString(original)), original);
}

}  // namespace
}  // namespace engine
