#include "platform/security/VendorIdentifier.h"

#include <gtest/gtest.h>

#include "platform/foundation/FileSystem.h"
#include "testkit/TempHome.h"

namespace platform {
namespace {

class VendorIdentifierTest : public testkit::TempHomeTest {};

TEST_F(VendorIdentifierTest, CreatedOnceAndKept) {
    const auto first = identifierForVendor();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 36u);
    EXPECT_EQ(identifierForVendor(), first);
    EXPECT_EQ(readTextFile(vendorIdentifierPath()), first);
}

TEST_F(VendorIdentifierTest, DamagedFileIsReplaced) {
    const auto first = identifierForVendor();
    ASSERT_TRUE(first);
    ASSERT_TRUE(writeFileAtomically(vendorIdentifierPath(), std::string_view("not-a-uuid")));
    const auto second = identifierForVendor();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->size(), 36u);
    EXPECT_EQ(identifierForVendor(), second);
}

}  // namespace
}  // namespace platform
