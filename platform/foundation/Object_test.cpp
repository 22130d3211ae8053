#include "platform/foundation/Object.h"

#include <gtest/gtest.h>

#include <cmath>

namespace platform {
namespace {

TEST(ObjectTest, KindsStayDistinct) {
    EXPECT_NE(Object(true), Object(1));
    EXPECT_NE(Object(1), Object(1.0));
    EXPECT_EQ(Object(std::int64_t{-5}), Object(-5));
    EXPECT_EQ(Object("a"), Object(std::string("a")));
    EXPECT_TRUE(Object().isNull());
}

TEST(ObjectTest, DictionaryIsOrderedAndDeepCopied) {
    Object d = Object::dict({{"b", 2}, {"a", Object::array({1, "x"})}});
    Object copy = d;
    copy.getDictionary()->at("a").getArray()->push_back(3);
    EXPECT_EQ(d["a"].count(), 2u);
    EXPECT_EQ(copy["a"].count(), 3u);
    EXPECT_EQ(d.description(), R"({"a": [1, "x"], "b": 2})");
    EXPECT_TRUE(d["missing"].isNull());
    EXPECT_TRUE(d["a"][7].isNull());
}

TEST(ObjectTest, NumberViews) {
    EXPECT_EQ(Object(2.9).numberAsInteger(), 2);
    EXPECT_EQ(Object(1e300).numberAsInteger(), std::nullopt);
    EXPECT_EQ(Object(std::nan("")).numberAsInteger(), std::nullopt);
    EXPECT_EQ(Object(true).numberAsDouble(), 1.0);
    EXPECT_EQ(Object("1").numberAsDouble(), std::nullopt);
}

TEST(ObjectTest, AMovedFromContainerReadsAsEmpty) {
    Object array = Object::array({1, 2});
    Object dict = Object::dict({{"a", 1}});
    Object takenArray = std::move(array);
    Object takenDict = std::move(dict);
    // The moved-from objects keep their kind and behave as empty containers.
    const Object copyOfArray = array;  // NOLINT(bugprone-use-after-move)
    const Object copyOfDict = dict;    // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(copyOfArray.count(), 0u);
    EXPECT_EQ(copyOfDict.description(), "{}");
    EXPECT_EQ(copyOfArray, Object(Array{}));
    array.getArray()->push_back(3);
    EXPECT_EQ(array, Object::array({3}));
    EXPECT_EQ(takenArray.count(), 2u);
    EXPECT_EQ(takenDict["a"], Object(1));
}

}  // namespace
}  // namespace platform
