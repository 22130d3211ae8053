#include "engine/base/KLVNumericUtil.h"

#include <gtest/gtest.h>

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
