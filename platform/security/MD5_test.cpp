#include "platform/security/MD5.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform {
namespace {

std::string hex(const MD5Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : digest) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xf];
    }
    return out;
}

TEST(MD5, MatchesThePublishedVectors) {
    const struct {
        const char* input;
        const char* digest;
    } vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},

        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.input);
        const auto fromText = md5Digest(std::string_view(v.input));
        ASSERT_TRUE(fromText);
        EXPECT_EQ(hex(*fromText), v.digest);
        const std::string text = v.input;
        const std::vector<std::uint8_t> bytes(text.begin(), text.end());
        EXPECT_EQ(md5Digest(bytes), fromText);
    }
}

}  // namespace
}  // namespace platform
