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

class KLVKeychainWrapperTest : public EngineTest {};

TEST_F(KLVKeychainWrapperTest, UpsertAddsThenUpdatesOneItem) {
    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_pfo", kAppID), std::nullopt);
    EXPECT_TRUE(Wrapper::upsertKeychainValue("3", "_pfo", kAppID));
    EXPECT_TRUE(Wrapper::upsertKeychainValue("4", "_pfo", kAppID));
    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_pfo", kAppID), "4");

    const auto items = itemsOfService(kAppID);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0][platform::kSecAttrAccount], Object("_pfo"));
    EXPECT_EQ(items[0][platform::kSecAttrGeneric], Object("_pfo"));
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

TEST_F(KLVKeychainWrapperTest, EmptyIdentifierOrAppIDDoesNothing) {
    ASSERT_TRUE(Wrapper::upsertKeychainValue("7", "_pfo", kAppID));
    for (const auto& [identifier, appID] :
         {std::pair<std::string, std::string>{"_pfo", ""}, {"", kAppID}}) {
        EXPECT_EQ(Wrapper::searchDirectoryForIdentifier(identifier, appID), std::nullopt);
        EXPECT_FALSE(Wrapper::upsertKeychainValue("1", identifier, appID));
        EXPECT_EQ(Wrapper::keychainValueWithIdentifier(identifier, appID), std::nullopt);
        Wrapper::deleteKeychainValueWithIdentifier(identifier, appID);
        EXPECT_FALSE(Wrapper::isMigrationNeededForIdentifier(identifier, appID));
    }
    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_pfo", kAppID), "7");
}

TEST_F(KLVKeychainWrapperTest, DeleteRemovesTheItem) {
    ASSERT_TRUE(Wrapper::upsertKeychainValue("7", "_pfo", kAppID));
    ASSERT_TRUE(Wrapper::upsertKeychainValue("9", "_pfo", "other.app"));
    Wrapper::deleteKeychainValueWithIdentifier("_pfo", kAppID);
    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_pfo", kAppID), std::nullopt);
    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_pfo", "other.app"), "9");
}

TEST_F(KLVKeychainWrapperTest, ItemWithEmptyDataIsReplacedNotDuplicated) {
    ASSERT_EQ(
        platform::SecItemAdd(Dictionary{{platform::kSecClass, platform::kSecClassGenericPassword},
                                        {platform::kSecAttrService, kAppID},
                                        {platform::kSecAttrGeneric, "_pfo"},
                                        {platform::kSecAttrAccount, "_pfo"},
                                        {platform::kSecValueData, Data{}}},
                             nullptr),
        platform::errSecSuccess);
    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_pfo", kAppID), std::nullopt);
    EXPECT_TRUE(Wrapper::upsertKeychainValue("5", "_pfo", kAppID));
    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_pfo", kAppID), "5");
    EXPECT_EQ(itemsOfService(kAppID).size(), 1u);
}

TEST_F(KLVKeychainWrapperTest, FirstReadMigratesItsOwnItemOnce) {
    const auto addOldItem = [](std::string_view identifier) {
        return platform::SecItemAdd(
            Dictionary{{platform::kSecClass, platform::kSecClassGenericPassword},
                       {platform::kSecAttrService, kAppID},
                       {platform::kSecAttrGeneric, bytes(identifier)},
                       {platform::kSecAttrAccount, bytes(identifier)},
                       {platform::kSecValueData, bytes("12")}},
            nullptr);
    };
    ASSERT_EQ(addOldItem("_pfo"), platform::errSecSuccess);
    ASSERT_EQ(addOldItem("_other"), platform::errSecSuccess);
    EXPECT_TRUE(Wrapper::isMigrationNeededForIdentifier("_pfo", kAppID));

    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_pfo", kAppID), "12");
    EXPECT_FALSE(Wrapper::isMigrationNeededForIdentifier("_pfo", kAppID));
    // Only the first call of the process migrates.
    EXPECT_EQ(Wrapper::keychainValueWithIdentifier("_other", kAppID), "12");
    EXPECT_TRUE(Wrapper::isMigrationNeededForIdentifier("_other", kAppID));
}

}  // namespace
}  // namespace engine
