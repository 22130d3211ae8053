#include "engine/base/KLVNumericUtil.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "engine/base/EngineTestSupport.h"

namespace engine {
namespace {

class KLVNumericUtilTest : public EngineTest {};

TEST_F(KLVNumericUtilTest, DecimalNumberStrings) {
    const std::string longNumber(100000, '9');
    const std::string accepted[] = {"12", "+12", "-0.5", ".5", "5.", "0", "-.5", "007", longNumber};
    for (const auto& text : accepted)
        EXPECT_TRUE(KLVIsDecimalNumberString(text)) << text;
    const char* refused[] = {"", "1e5", "1,5", " 1", "1 ", ".", "+", "1.2.3", "--1", "abc", "0x10"};
    for (const char* text : refused)
        EXPECT_FALSE(KLVIsDecimalNumberString(text)) << text;
}

TEST_F(KLVNumericUtilTest, DecimalNumbers) {
    struct Case {
        std::string text;
        std::optional<std::string> value;
    };
    const Case cases[] = {
        {".5", "0.5"},
        {"1.50", "1.5"},
        {"-0.0", "0"},
        {"0.000125", "0.000125"},
        {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678"},
        {"123456789012345678901234567890123456789", std::nullopt},
        {"1" + std::string(200, '0'), std::nullopt},
    };
    for (const auto& c : cases) {
        const auto number = KLVDecimalNumberFromString(c.text);
        EXPECT_EQ(number ? std::optional(number->stringValue()) : std::nullopt, c.value) << c.text;
    }
    EXPECT_DOUBLE_EQ(KLVDecimalNumberFromString("-12.25")->doubleValue(), -12.25);
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

TEST(KLVDecimalOrderTest, ComparesExactly) {
    const auto number = [](const char* text) { return *KLVDecimalNumberFromString(text); };
    const struct {
        const char* a;
        const char* b;
        int order;
    } cases[] = {
        {"0.1", "0.10", 0},
        {"-0", "0", 0},
        {"0.1", "0.1000000000000000000000000000000000001", -1},
        {"-0.5", "-0.25", -1},
        {"-1", "0", -1},
        {"0", "0.0001", -1},
        {"99", "100", -1},
        {"120", "1200", -1},
        {"-120", "-1200", 1},
        {"3.0000001", "3", 1},
        {"12.5", "12.49", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KLVCompareDecimalNumbers(number(c.a), number(c.b)), c.order) << c.a << " " << c.b;
        EXPECT_EQ(KLVCompareDecimalNumbers(number(c.b), number(c.a)), -c.order)
            << c.b << " " << c.a;
    }
}

TEST(KLVDecimalOrderTest, IntegersAsDecimals) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "0"},
        {-7, "-7"},
        {1200, "1200"},
        {std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
        {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(KLVDecimalNumberFromInt64(value), *KLVDecimalNumberFromString(text)) << text;
    }
}

}  // namespace
}  // namespace engine
