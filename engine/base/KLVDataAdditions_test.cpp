#include "engine/base/KLVDataAdditions.h"

#include <gtest/gtest.h>

#include <string_view>

namespace engine {
namespace {

platform::Data bytesOf(std::string_view text) {
    return platform::Data(text.begin(), text.end());
}

TEST(KLVDataAdditionsTest, LeastSignificantBits) {
    EXPECT_EQ(klv_64LeastSignificantBits(platform::Data{1, 2, 3}), 66051);
    EXPECT_EQ(klv_64LeastSignificantBits(platform::Data{0, 1, 2, 3, 4, 5, 6, 7, 8}),
              0x0102030405060708);
    EXPECT_EQ(klv_64LeastSignificantBits(platform::Data{}), 0);
    EXPECT_EQ(
        klv_64LeastSignificantBits(platform::Data{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}),
        -2);
}

TEST(KLVDataAdditionsTest, MD5Digests) {
    const platform::Data digest = klv_MD5Data(bytesOf("abc"));
    EXPECT_EQ(digest, (platform::Data{0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0, 0xd6, 0x96,
                                      0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72}));
    // Bytes 8 to 15 of the digest, big-endian: 0xd6963f7d28e17f72 as a signed number.
    EXPECT_EQ(klv_64LSBMD5(bytesOf("abc")), static_cast<std::int64_t>(0xd6963f7d28e17f72ULL));
    EXPECT_EQ(klv_64LSBMD5(platform::Data{}), static_cast<std::int64_t>(0xe9800998ecf8427eULL));
}

}  // namespace
}  // namespace engine
