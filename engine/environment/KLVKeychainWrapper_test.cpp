#include "engine/environment/KLVKeychainWrapper.h"

#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"
#include "platform/security/Keychain.h"

namespace engine {
namespace {

using platform::Data;
using platform::Dictionary;
using platform::Object;
using Wrapper = KLVKeychainWrapper;

constexpr char kAppID[] = "com.example.tessaline";

Data bytes(std::string_view text) {
    return Data(text.begin(), text.end());
}

// Every generic-password item of the service, as the keychain returns them.
platform::Array itemsOfService(std::string_view service) {
    Object result;
    const auto status = platform::SecItemCopyMatching(
        Dictionary{{platform::kSecClass, platform::kSecClassGenericPassword},
                   {platform::kSecAttrService, service},
                   {platform::kSecMatchLimit, platform::kSecMatchLimitAll},
                   {platform::kSecReturnAttributes, true}},
        &result);
    if (status != platform::errSecSuccess || !result.isArray()) return {};
    return result.asArray();
}

// An item written directly, as an earlier version or another writer left it.
platform::OSStatus addItem(const Object& account, const Data& value) {
    return platform::SecItemAdd(
        Dictionary{{platform::kSecClass, platform::kSecClassGenericPassword},
                   {platform::kSecAttrService, kAppID},
                   {platform::kSecAttrGeneric, account},
                   {platform::kSecAttrAccount, account},
                   {platform::kSecValueData, value}},
        nullptr);
}

class KLVKeychainWrapperTest : public EngineTest {};

TEST_F(KLVKeychainWrapperTest, UpsertAddsThenUpdatesOneItem) {
    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_pfo", kAppID), std::nullopt);
    EXPECT_TRUE(Wrapper::upsertKeychainValue("3", "_pfo", kAppID));
    EXPECT_TRUE(Wrapper::upsertKeychainValue("4", "_pfo", kAppID));
    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_pfo", kAppID), "4");

    const auto items = itemsOfService(kAppID);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0][platform::kSecAttrAccount], Object("_pfo"));
    EXPECT_EQ(items[0][platform::kSecAttrAccessible],
              Object(platform::kSecAttrAccessibleAlwaysThisDeviceOnly));
}

TEST_F(KLVKeychainWrapperTest, RefusedValuesLeaveTheItem) {
    ASSERT_TRUE(Wrapper::upsertKeychainValue("7", "_pfo", kAppID));
    const struct { Object value; } refused[] = {{""}, {7}, {Object()}, {bytes("8")}};
    for (const auto& c : refused) {
        EXPECT_FALSE(Wrapper::upsertKeychainValue(c.value, "_pfo", kAppID));
        EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_pfo", kAppID), "7");
    }
}

TEST_F(KLVKeychainWrapperTest, ItemWithEmptyDataIsReplacedNotDuplicated) {
    ASSERT_EQ(addItem("_pfo", Data{}), platform::errSecSuccess);
    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_pfo", kAppID), std::nullopt);
    EXPECT_TRUE(Wrapper::upsertKeychainValue("5", "_pfo", kAppID));
    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_pfo", kAppID), "5");
    EXPECT_EQ(itemsOfService(kAppID).size(), 1u);
}

TEST_F(KLVKeychainWrapperTest, FirstReadMigratesItsOwnItemOnce) {
    // Written by an older version: account and generic attributes as data.
    ASSERT_EQ(addItem(bytes("_pfo"), bytes("12")), platform::errSecSuccess);
    ASSERT_EQ(addItem(bytes("_other"), bytes("12")), platform::errSecSuccess);
    EXPECT_TRUE(Wrapper::isMigrationNeededForIdentifier("_pfo", kAppID));

    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_pfo", kAppID), "12");
    EXPECT_FALSE(Wrapper::isMigrationNeededForIdentifier("_pfo", kAppID));
    // Only the first call of the process migrates.
    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_other", kAppID), "12");
    EXPECT_TRUE(Wrapper::isMigrationNeededForIdentifier("_other", kAppID));
}

}  // namespace
}  // namespace engine
