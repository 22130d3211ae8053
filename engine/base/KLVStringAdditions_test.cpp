#include "engine/base/KLVStringAdditions.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace engine {
namespace {

TEST(KLVStringAdditionsTest, BitStrings) {
    const bool expected[] = {false, true, false, true};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(isBitEnabledAtIndex("0101", i), expected[i]) << i;
    EXPECT_FALSE(isBitEnabledAtIndex("0101", 4));
    EXPECT_FALSE(isBitEnabledAtIndex("0101", -1));
    EXPECT_FALSE(isBitEnabledAtIndex("", 0));
    // Positions count UTF-16 units: the "1" after an e-acute is at index 1.
    EXPECT_TRUE(
        isBitEnabledAtIndex("\xC3\xA9"
                            "1",
                            1));
}

TEST(KLVStringAdditionsTest, MD5Strings) {
    EXPECT_EQ(klv_MD5String(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(klv_MD5String("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(klv_MD5String("\xFF\xFE"), std::nullopt);
}

TEST(KLVStringAdditionsTest, UnescapingURLArguments) {
    struct Case {
        std::string text;
        std::optional<std::string> unescaped;
    };
    const Case cases[] = {
        {"a+b%20c", "a b c"},
        {"%2B%26%3D", "+&="},
        {"%c3%a9", "\xC3\xA9"},
        {"plain", "plain"},
        {"", ""},
        {"100%", std::nullopt},
        {"%4", std::nullopt},
        {"%zz", std::nullopt},
        {"%FF", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(klv_stringByUnescapingFromURLArgument(c.text), c.unescaped) << c.text;
    }
}

TEST(KLVStringAdditionsTest, UTF32Lengths) {
    EXPECT_EQ(klv_UTF32Length("\xF0\x9F\x98\x80"), 1u);  // one emoji outside the basic plane
    EXPECT_EQ(klv_UTF32Length("ab\xC3\xA9"), 3u);
    EXPECT_EQ(klv_UTF32Length(""), 0u);
}

TEST(KLVStringAdditionsTest, UTF32Bytes) {
    std::array<std::uint8_t, 8> buffer{};
    EXPECT_TRUE(klv_getUTF32Bytes("a\xF0\x9F\x98\x80", buffer));
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 8>{0x61, 0, 0, 0, 0x00, 0xF6, 0x01, 0}));

    std::array<std::uint8_t, 6> partial{};
    EXPECT_TRUE(klv_getUTF32Bytes("abc", partial));
    EXPECT_EQ(partial, (std::array<std::uint8_t, 6>{0x61, 0, 0, 0, 0, 0}));

    std::array<std::uint8_t, 3> tooSmall{};
    EXPECT_FALSE(klv_getUTF32Bytes("abc", tooSmall));
    EXPECT_FALSE(klv_getUTF32Bytes("", buffer));
}

}  // namespace
}  // namespace engine
