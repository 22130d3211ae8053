#include "platform/security/VendorIdentifier.h"

#include <gtest/gtest.h>

#include "platform/foundation/FileSystem.h"
#include "testkit/TempHome.h"

namespace platform {
namespace {

class VendorIdentifierTest : public testkit::TempHomeTest {};

TEST_F(VendorIdentifierTest, CreatedOnceKeptAndReplacedWhenDamaged) {
    const auto first = identifierForVendor();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 36u);
    EXPECT_EQ(identifierForVendor(), first);
    EXPECT_EQ(readTextFile(vendorIdentifierPath()), first);

    ASSERT_TRUE(writeFileAtomically(vendorIdentifierPath(), std::string_view("not-a-uuid")));
    const auto second = identifierForVendor();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(identifierForVendor(), second);
}

}  // namespace
}  // namespace platform
