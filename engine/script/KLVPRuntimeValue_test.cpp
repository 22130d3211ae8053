#include "engine/script/KLVPRuntimeValue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/script/KLVPArrayValue.h"
#include "engine/script/KLVPObjectValues.h"
#include "engine/script/KLVPScriptError.h"

namespace engine {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

KLVPValue text(std::u16string value) {
    return KLVPStringValue::make(std::move(value));
}
KLVPValue number(double value) {
    return KLVPNumberValue::make(value);
}

// The three forms of every value class; a form that fails gives its error code.
TEST(KLVPRuntimeValueTest, Forms) {
    const struct {
        KLVPValue value;
        const char16_t* string;
        double number;
        bool boolean;
        std::int64_t stringError = 0;
        std::int64_t numberError = 0;
        std::int64_t booleanError = 0;
    } cases[] = {
        {KLVPUndefined(), u"undefined", kNaN, false},
        {KLVPNull(), u"null", 0, false},
        {KLVPBoolean(true), u"true", 1, true},
        {number(0), u"0", 0, false},
        {number(kNaN), u"NaN", kNaN, false},
        {number(-kInfinity), u"-Infinity", -kInfinity, true},
        {text(u""), u"", 0, false},
        {text(u" 1e3 "), u" 1e3 ", 1000, true},
        {std::make_shared<KLVPMapValue>(), u"[object Object]", kNaN, true},
        {std::make_shared<KLVPFunctionValue>(u"f"), u"f", kNaN, true},
        {std::make_shared<KLVPArrayValue>(), u"", 0, true},
        {std::make_shared<KLVPArrayValue>(KLVPValues{number(7)}), u"7", 7, true},
        {std::make_shared<KLVPArrayValue>(
             KLVPValues{number(1), KLVPArrayValue::emptyValue(), KLVPNull(), text(u"x")}),
         u"1,,,x", kNaN, true},
        {KLVPControlValue::breakValue(), u"", kNaN, false, kKLVPErrorNoStringForm,
         kKLVPErrorNoNumberForm, kKLVPErrorNoBooleanForm},
        {std::make_shared<KLVPStatementValue>(u"f", KLVPValues{}), u"", kNaN, false,
         kKLVPErrorNoStringForm, kKLVPErrorNoNumberForm, kKLVPErrorNoBooleanForm},
        {std::make_shared<KLVPArrayValue>(KLVPValues{KLVPControlValue::continueValue()}), u"", kNaN,
         true, kKLVPErrorNoStringForm, kKLVPErrorNoStringForm, 0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        platform::Error stringError, numberError, booleanError;
        EXPECT_EQ(c.value->stringValueOrError(&stringError), c.string) << i;
        const double value = c.value->doubleValueOrError(&numberError);
        EXPECT_TRUE(value == c.number || (std::isnan(value) && std::isnan(c.number))) << i;
        EXPECT_EQ(c.value->booleanValueOrError(&booleanError), c.boolean) << i;
        EXPECT_EQ(stringError.code, c.stringError) << i;
        EXPECT_EQ(numberError.code, c.numberError) << i;
        EXPECT_EQ(booleanError.code, c.booleanError) << i;
    }
}

TEST(KLVPRuntimeValueTest, Conversions) {
    const struct {
        double value;
        std::uint32_t bits;
        double integer;
    } cases[] = {
        {-1, 4294967295u, -1},
        {kNaN, 0, 0},
        {kInfinity, 0, kInfinity},
        {4294967296.0 + 5, 5, 4294967301.0},
        {3000000000.0, 3000000000u, 3000000000.0},
        {1e300, 0, 1e300},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KLVPToUint32(c.value), c.bits) << c.value;
        EXPECT_EQ(KLVPToInt32(c.value), c.bits) << c.value;
        EXPECT_EQ(KLVPToInteger(c.value), c.integer) << c.value;
    }
    EXPECT_EQ(static_cast<std::int32_t>(KLVPToInt32(3000000000.0)), -1294967296);

    const struct {
        KLVPValue value;
        bool index;
    } indexes[] = {
        {number(0), true},          {number(3), true},          {text(u"3"), true},
        {text(u" 3 "), true},       {number(-1), false},        {number(1.5), false},
        {number(kNaN), false},      {number(kInfinity), false}, {text(u"x"), false},
        {KLVPBoolean(true), false}, {KLVPNull(), false},
    };
    for (std::size_t i = 0; i < std::size(indexes); ++i)
        EXPECT_EQ(KLVPIsArrayIndex(*indexes[i].value), indexes[i].index) << i;
}

TEST(KLVPRuntimeValueTest, StrictAndValueEquality) {
    platform::Error error;
    EXPECT_FALSE(KLVPStrictEquals(number(kNaN), number(kNaN), &error));
    EXPECT_TRUE(number(kNaN)->isEqualToRuntimeValue(*number(kNaN)));
    EXPECT_TRUE(KLVPStrictEquals(text(u"a"), text(u"a"), &error));
    EXPECT_FALSE(KLVPStrictEquals(text(u"1"), number(1), &error));
    EXPECT_TRUE(KLVPControlValue::returnValueWithData(number(1))->isEqualToRuntimeValue(
        *KLVPControlValue::returnValueWithData(number(1))));
    EXPECT_FALSE(KLVPControlValue::returnValueWithData(nullptr)->isEqualToRuntimeValue(
        *KLVPControlValue::breakValue()));
    EXPECT_EQ(error.domain, "");

    // Arrays that hold themselves compare in bounded time.
    auto a = std::make_shared<KLVPArrayValue>();
    auto b = std::make_shared<KLVPArrayValue>();
    a->appendElements(KLVPValues{a}, &error);
    b->appendElements(KLVPValues{b}, &error);
    EXPECT_FALSE(a->isEqualToRuntimeValue(*b));
    EXPECT_TRUE(a->isEqualToRuntimeValue(*a));
    a->sweep();
    b->sweep();
}

TEST(KLVPRuntimeValueTest, NamesEnumerateInInsertionOrder) {
    platform::Error error;
    KLVPMapValue map;
    for (const char16_t* name : {u"b", u"a", u"c"})
        map.setValue(number(1), name);
    map.removeValueForProperty(u"b");
    map.setValue(number(2), u"b");
    map.setValue(number(3), u"a");
    EXPECT_EQ(map.allPropertyNames(), (std::vector<std::u16string>{u"a", u"c", u"b"}));

    KLVPArrayValue array(KLVPValues{number(1), KLVPArrayValue::emptyValue(), number(3)});
    EXPECT_TRUE(array.setValueForProperty(text(u"z"), number(0), &error));
    EXPECT_TRUE(array.setValueForProperty(text(u"y"), number(0), &error));
    std::vector<std::u16string> names;
    for (const KLVPValue& name : array.allPropertyNames())
        names.push_back(static_cast<const KLVPStringValue&>(*name).value());
    EXPECT_EQ(names, (std::vector<std::u16string>{u"z", u"y", u"0", u"2"}));
    EXPECT_FALSE(array.hasProperty(number(1), &error));
    EXPECT_TRUE(array.hasProperty(number(2), &error));
    EXPECT_FALSE(array.hasProperty(text(u"length"), &error));
    EXPECT_EQ(error.domain, "");
}

}  // namespace
}  // namespace engine
