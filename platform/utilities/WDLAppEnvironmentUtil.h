#pragma once

// What the utilities framework tells about the device and its operating system.

#include <optional>
#include <string>

namespace platform {

class WDLAppEnvironmentUtil {
  public:
    // The hardware model; on this platform the machine name the kernel reports ("x86_64",
    // "aarch64"), which is what the phone's simulator reports too.
    static std::string deviceModel();
    // The operating system's version as dotted numbers ("6.1.0"), taken from the kernel release.
    static std::string systemVersion();
    // The version of the phone operating system the engine's feature gates compare with. This
    // platform has none; it reads as a current one ("17.0") unless a test set another.
    static std::string phoneOSVersion();
    // Test hooks: replace the phone OS version or the device model (nothing: back to the
    // default). Any thread.
    static void setPhoneOSVersion(std::optional<std::string> version);
    static void setDeviceModel(std::optional<std::string> model);
    // Whether phoneOSVersion() is at least major.minor (missing parts read as 0).
    static bool isPhoneOSVersionAtLeast(int major, int minor);
};

}  // namespace platform
