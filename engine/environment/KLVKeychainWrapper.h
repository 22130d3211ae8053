#pragma once

// Short strings kept in the device keychain, where they outlive a removal and reinstallation of
// the app. An item is a generic password found by its app ID (service) and identifier (generic
// attribute and account); with either of the two empty there is no item, and every operation does
// nothing (reads answer nothing, writes false). Status codes are never logged. Any thread may call.

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Object.h"

namespace engine {

class KLVKeychainWrapper {
  public:
    // Stores the value's UTF-8 bytes, accessible on this device only. False for a value that is
    // not a non-empty string and when the keychain refuses. An existing item is updated.
    static bool upsertKeychainValue(const platform::Object& value, std::string_view identifier,
                                    std::string_view appID);
    // The item's value; nothing when there is no item or its data is empty. The first call of the
    // process first migrates the item of its own identifier and app ID (see below).
    static std::optional<std::string> keychainValueWithIdentifier(std::string_view identifier,
                                                                  std::string_view appID);
    static void deleteKeychainValueWithIdentifier(std::string_view identifier,
                                                  std::string_view appID);

    // The query that finds the item: class, service, generic attribute and account.
    static std::optional<platform::Dictionary> searchDirectoryForIdentifier(
        std::string_view identifier, std::string_view appID);
    // The item's data; nothing on any keychain failure.
    static std::optional<platform::Data> keychainDataWithIdentifier(std::string_view identifier,
                                                                    std::string_view appID);
    // True when the item exists and its account or generic attribute is not stored as a string
    // (items written by an older version keep them as bytes).
    static bool isMigrationNeededForIdentifier(std::string_view identifier, std::string_view appID);
    // Rewrites both attributes as strings when migration is needed and the item has data.
    static void migrateKeychainDataToStringWithIdentifier(std::string_view identifier,
                                                          std::string_view appID);
};

}  // namespace engine
