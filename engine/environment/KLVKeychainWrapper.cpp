#include "engine/environment/KLVKeychainWrapper.h"

#include <mutex>

#include "platform/foundation/SharedInstance.h"
#include "platform/security/Keychain.h"

namespace engine {

namespace {

using platform::Dictionary;
using platform::Object;

// The once-only migration of the process (a test reset makes it run again).
struct MigrationOnce {
    std::once_flag flag;
};

platform::Data bytesOf(std::string_view text) {
    return platform::Data(text.begin(), text.end());
}

}  // namespace

std::optional<Dictionary> KLVKeychainWrapper::searchDirectoryForIdentifier(
    std::string_view identifier, std::string_view appID) {
    if (identifier.empty() || appID.empty()) return std::nullopt;
    return Dictionary{
        {platform::kSecClass, platform::kSecClassGenericPassword},
        {platform::kSecAttrService, appID},
        {platform::kSecAttrGeneric, identifier},
        {platform::kSecAttrAccount, identifier},
    };
}

bool KLVKeychainWrapper::upsertKeychainValue(const Object& value, std::string_view identifier,
                                             std::string_view appID) {
    const auto* text = value.getString();
    if (!text || text->empty()) return false;
    auto query = searchDirectoryForIdentifier(identifier, appID);
    if (!query) return false;

    const platform::Data data = bytesOf(*text);
    query->insert_or_assign(platform::kSecAttrAccessible,
                            platform::kSecAttrAccessibleAlwaysThisDeviceOnly);
    const auto existing = keychainValueWithIdentifier(identifier, appID);
    if (existing) {
        return platform::SecItemUpdate(*query, Dictionary{{platform::kSecValueData, data}}) ==
               platform::errSecSuccess;
    }
    auto addQuery = *query;
    addQuery.insert_or_assign(platform::kSecValueData, data);
    const auto status = platform::SecItemAdd(addQuery, nullptr);
    if (status != platform::errSecDuplicateItem) return status == platform::errSecSuccess;

    // An item that reads as empty still occupies the slot; replace its data instead of failing.
    const auto search = searchDirectoryForIdentifier(identifier, appID);
    return platform::SecItemUpdate(
               *search, Dictionary{{platform::kSecValueData, data},
                                   {platform::kSecAttrAccessible,
                                    platform::kSecAttrAccessibleAlwaysThisDeviceOnly}}) ==
           platform::errSecSuccess;
}

std::optional<std::string> KLVKeychainWrapper::keychainValueWithIdentifier(
    std::string_view identifier, std::string_view appID) {
    std::call_once(platform::SharedInstance<MigrationOnce>::get().flag,
                   [&] { migrateKeychainDataToStringWithIdentifier(identifier, appID); });
    const auto data = keychainDataWithIdentifier(identifier, appID);
    if (!data || data->empty()) return std::nullopt;
    return std::string(data->begin(), data->end());
}

void KLVKeychainWrapper::deleteKeychainValueWithIdentifier(std::string_view identifier,
                                                           std::string_view appID) {
    if (const auto query = searchDirectoryForIdentifier(identifier, appID)) {
        platform::SecItemDelete(*query);
    }
}

std::optional<platform::Data> KLVKeychainWrapper::keychainDataWithIdentifier(
    std::string_view identifier, std::string_view appID) {
    auto query = searchDirectoryForIdentifier(identifier, appID);
    if (!query) return std::nullopt;
    query->insert_or_assign(platform::kSecMatchLimit, platform::kSecMatchLimitOne);
    query->insert_or_assign(platform::kSecReturnData, true);
    Object result;
    if (platform::SecItemCopyMatching(*query, &result) != platform::errSecSuccess) {
        return std::nullopt;
    }
    const auto* data = result.getData();
    if (!data) return std::nullopt;
    return *data;
}

bool KLVKeychainWrapper::isMigrationNeededForIdentifier(std::string_view identifier,
                                                        std::string_view appID) {
    auto query = searchDirectoryForIdentifier(identifier, appID);
    if (!query) return false;
    query->insert_or_assign(platform::kSecMatchLimit, platform::kSecMatchLimitOne);
    query->insert_or_assign(platform::kSecReturnData, true);
    query->insert_or_assign(platform::kSecReturnAttributes, true);
    Object result;
    if (platform::SecItemCopyMatching(*query, &result) != platform::errSecSuccess) return false;
    const auto* item = result.getDictionary();
    if (!item) return false;
    return !result[platform::kSecAttrAccount].isString() ||
           !result[platform::kSecAttrGeneric].isString();
}

void KLVKeychainWrapper::migrateKeychainDataToStringWithIdentifier(std::string_view identifier,
                                                                   std::string_view appID) {
    if (!isMigrationNeededForIdentifier(identifier, appID)) return;
    const auto data = keychainDataWithIdentifier(identifier, appID);
    if (!data || data->empty()) return;
    platform::SecItemUpdate(*searchDirectoryForIdentifier(identifier, appID),
                            Dictionary{{platform::kSecAttrGeneric, identifier},
                                       {platform::kSecAttrAccount, identifier}});
}

}  // namespace engine
