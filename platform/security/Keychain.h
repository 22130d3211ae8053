#pragma once

// A stand-in for the phone's keychain: small secrets kept apart from the app's other data.
// Items are generic passwords keyed by class, service and account, with a few more attributes
// and a data value; the four item calls and their status codes behave as the phone's do for what
// the engine asks of them. Everything lives in one property list under the data root's Library
// folder, created owner-only and replaced atomically on every change, so an item survives the
// process and a crash never leaves half a store. All calls are thread-safe.
//
// Attribute values are strings or data; two values match when their bytes are equal, so an
// account stored as data is found by the same text, as the phone's store compares bytes.

#include <cstdint>
#include <filesystem>
#include <memory>

#include "platform/foundation/Object.h"

namespace platform {

using OSStatus = std::int32_t;

// Status codes, with the phone's values.
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecIO = -36;     // the store file could not be written
inline constexpr OSStatus errSecParam = -50;  // a malformed query or attribute
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecDecode = -26275;  // the store file is unreadable

// Query and attribute keys, and the values they take.
inline constexpr char kSecClass[] = "class";
inline constexpr char kSecClassGenericPassword[] = "generic-password";
inline constexpr char kSecAttrService[] = "service";
inline constexpr char kSecAttrAccount[] = "account";
inline constexpr char kSecAttrGeneric[] = "generic";
inline constexpr char kSecAttrAccessible[] = "accessible";
inline constexpr char kSecAttrAccessibleAlwaysThisDeviceOnly[] = "always-this-device-only";
inline constexpr char kSecValueData[] = "value-data";
inline constexpr char kSecMatchLimit[] = "match-limit";
inline constexpr char kSecMatchLimitOne[] = "one";
inline constexpr char kSecMatchLimitAll[] = "all";
inline constexpr char kSecReturnData[] = "return-data";
inline constexpr char kSecReturnAttributes[] = "return-attributes";

// The store behind the Sec* calls. Loaded from its file on first use and again whenever the file
// changed, so that stores in several processes share their items; a change holds a lock file
// ("keychain.plist.lock") from reading to writing, so no change overwrites another. A file that
// does not decode is moved aside to "keychain.plist.corrupt" and the store starts empty; when it
// cannot be moved, every call answers errSecDecode.
class Keychain {
  public:
    // A store in `file` (its folder is created when first written).
    explicit Keychain(std::filesystem::path file);
    // The store at defaultPath().
    Keychain();
    ~Keychain();
    Keychain(const Keychain&) = delete;
    Keychain& operator=(const Keychain&) = delete;

    // The process's store; a test reset drops it and the next call reads the file again.
    static Keychain& shared();
    // <data root>/Library/Keychains/keychain.plist
    static std::filesystem::path defaultPath();

    // Adds an item: kSecClass and attributes, kSecValueData; the kSecReturn* keys fill `result`
    // as copyMatching() would. errSecDuplicateItem when class, service and account are taken.
    OSStatus add(const Dictionary& attributes, Object* result = nullptr);
    // Finds items whose attributes equal the query's. `result` gets, per item, the data
    // (kSecReturnData), or a dictionary of its attributes, with the data under kSecValueData
    // when both are asked (kSecReturnAttributes); nothing when neither is. kSecMatchLimit
    // kSecMatchLimitAll makes `result` an array; the default is one item.
    OSStatus copyMatching(const Dictionary& query, Object* result);
    // Changes the given attributes and data of every matching item.
    OSStatus update(const Dictionary& query, const Dictionary& attributesToUpdate);
    // Deletes every matching item.
    OSStatus deleteItems(const Dictionary& query);

  private:
    struct Store;
    std::unique_ptr<Store> store_;
};

// The phone's item calls, on Keychain::shared().
OSStatus SecItemAdd(const Dictionary& attributes, Object* result);
OSStatus SecItemCopyMatching(const Dictionary& query, Object* result);
OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate);
OSStatus SecItemDelete(const Dictionary& query);

}  // namespace platform
