#pragma once

// What the utilities framework tells about the device and its operating system.

#include <string>

namespace platform {

class WDLAppEnvironmentUtil {
  public:
    // The hardware model; on this platform the machine name the kernel reports ("x86_64",
    // "aarch64"), which is what the phone's simulator reports too.
    static std::string deviceModel();
    // The operating system's version as dotted numbers ("6.1.0"), taken from the kernel release.
    static std::string systemVersion();
};

}  // namespace platform
