#include "platform/foundation/Format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace platform {
namespace {

TEST(FormatTest, Conversions) {
    const Object text("abc");
    const Object whole(5.0);
    const Object flag(true);
    const Object list = Object::array({1, "x"});
    struct Case {
        std::string got;
        std::string want;
    };
    const Case cases[] = {
        {formatString("I-ACS%06ld", 23210), "I-ACS023210"},

        {formatString("I-ACS%06ld", -5), "I-ACS-00005"},
        {formatString("Block ID=%@.", std::string("KLVMeasurement:622")),
         "Block ID=KLVMeasurement:622."},
        {formatString("%@%c_%lld:%@", "1", 'E', std::int64_t{110100000}, "m"), "1E_110100000:m"},
        {formatString("%x", -1), "ffffffffffffffff"},
        {formatString("%@ %@ %@ %@", text, whole, flag, list), "abc 5 1 [1, \"x\"]"},

        {formatString("100%% sure"), "100% sure"},
        {formatString("%@ and %@", "one"), "one and (null)"},
        {formatString("%d", "not a number"), "not a number"},
        {formatString("%d", 7.9), "7"},

        {formatString("%k stays"), "%k stays"},

        {formatString("%.2s", "\xC3\xA9t\xC3\xA9"), "\xC3\xA9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got, c.want);
}

TEST(FormatTest, DisplayTextOfObjects) {
    EXPECT_EQ(displayText(Object()), "<null>");
    EXPECT_EQ(displayText(Object(false)), "0");
    EXPECT_EQ(displayText(Object(-0.0)), "0");

    EXPECT_EQ(shortestNumberText(std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(shortestNumberText(-std::numeric_limits<double>::infinity()), "-inf");
}

}  // namespace
}  // namespace platform
