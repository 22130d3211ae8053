#include "engine/events/KLVValue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

namespace engine {
namespace {

using platform::Object;

TEST(KLVValueTest, ObjectsBecomeTheirKind) {
    struct Case {
        Object object;
        bool allowArray;
        std::optional<KLVValueType> kind;  // nullopt: refused
    };
    const Case cases[] = {
        {Object(true), false, KLVValueTypeInt64},
        {Object(0.5f), false, KLVValueTypeDouble},
        {Object("text"), false, KLVValueTypeString},
        {Object::array({Object::dict({{"a", 1}})}), true, KLVValueTypeArray},
        {Object::array({1}), false, std::nullopt},
        {Object::dict({{"a", 1}}), true, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.object.description());
        const auto value = KLVValue::valueFromObject(c.object, c.allowArray);
        ASSERT_EQ(value.has_value(), c.kind.has_value());
        if (value) {
            EXPECT_EQ(value->valueType(), *c.kind);
        }
    }
    EXPECT_EQ(KLVValue::valueFromObject(Object(true))->int64Value(), 1);
}

TEST(KLVValueTest, GettersOfTheWrongKindAnswerNeutrally) {
    const auto seven = KLVValue::initWithInt64(7);
    EXPECT_EQ(seven.doubleValue(), 0.0);
    const auto nearlyEight = KLVValue::initWithDouble(7.9);
    EXPECT_EQ(nearlyEight.int64Value(), 0);
    // Only the unchecked initialiser can pair a kind with another object; it never converts a
    // NaN or an out-of-range double into an integer.
    EXPECT_EQ(KLVValue::initWithValueType(KLVValueTypeInt64, Object(std::nan(""))).int64Value(), 0);
    EXPECT_EQ(KLVValue::initWithValueType(KLVValueTypeInt64, Object(1e30)).int64Value(), 0);
}

TEST(KLVValueTest, EqualityIsSymmetricAndAgreesWithTheHash) {
    struct Case {
        KLVValue a;
        KLVValue b;
        bool equal;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {KLVValue::initWithInt64(1), KLVValue::initWithDouble(1.0), false},
        {KLVValue::initWithString("a"), KLVValue::initWithString("a"), true},
        {KLVValue::initWithDouble(0.0), KLVValue::initWithDouble(-0.0), true},
        {KLVValue::initWithDouble(nan), KLVValue::initWithDouble(nan), true},
        {KLVValue::initWithArray(platform::Array{Object::dict({{"a", 1}})}),
         KLVValue::initWithArray(platform::Array{Object::dict({{"a", 1}})}), true},
        {KLVValue::initWithArray(platform::Array{Object::dict({{"a", 1}})}),
         KLVValue::initWithArray(platform::Array{Object::dict({{"a", 2}})}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a.description() + " vs " + c.b.description());
        EXPECT_EQ(c.a == c.b, c.equal);
        EXPECT_EQ(c.b == c.a, c.equal);
        if (c.equal) {
            EXPECT_EQ(c.a.hash(), c.b.hash());
        }
    }
    const KLVValue copy = cases[1].a;
    EXPECT_EQ(copy, cases[1].a);
    EXPECT_EQ(&copy.value(), &cases[1].a.value());  // copies share the held object
    std::unordered_set<KLVValue> set = {KLVValue::initWithDouble(nan),
                                        KLVValue::initWithDouble(nan)};
    EXPECT_EQ(set.size(), 1u);
}

// A failed comparison tells the kinds apart: an int64 1, a double 1.0 and a string "1".
TEST(KLVValueTest, PrintsAsItsObjectsDescription) {
    EXPECT_EQ(::testing::PrintToString(KLVValue::initWithInt64(1)), "1");
    EXPECT_EQ(::testing::PrintToString(KLVValue::initWithDouble(1)), "1.0");
    EXPECT_EQ(::testing::PrintToString(KLVValue::initWithString("1")), "\"1\"");
    EXPECT_EQ(::testing::PrintToString(KLVValue::initWithArray({1, "a"})), "[1, \"a\"]");
}

}  // namespace
}  // namespace engine
