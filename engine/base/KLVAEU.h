#pragma once

// Environment labels: whether the app was installed from the App Store, runs on a simulator or
// is an app extension. On this platform the app's bundle is its resource directory.

#include <filesystem>
#include <optional>
#include <string>

namespace engine {

class KLVAEU {
  public:
    // The App Store receipt inside the main bundle ("StoreKit/sandboxReceipt" when a test
    // installation left one there, else "StoreKit/receipt"); nullopt when the Info.plist key
    // "TarnwellAppStoreReceiptURLCheckEnabled" holds a number whose Boolean value is NO.
    static std::optional<std::filesystem::path> appStoreRURL();
    // Installed from the App Store.
    static bool isFAS();
    // The receipt is a sandbox receipt (a test installation).
    static bool isASRS();
    // Running on a simulator: the device model is "x86_64" or "i386".
    static bool isNOD();
    static std::string deviceModel();
    static std::string systemVersion();
    // Running as an app extension: the main bundle's path ends with ".appex".
    static bool isAEX();
};

}  // namespace engine
