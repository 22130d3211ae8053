#include "platform/utilities/WDLAppEnvironmentUtil.h"

#include <sys/utsname.h>

#include <charconv>
#include <mutex>
#include <string_view>

#include "platform/foundation/SharedInstance.h"

namespace platform {

namespace {

struct utsname kernelName() {
    struct utsname name {};
    if (uname(&name) != 0) return {};
    return name;
}

// The leading "digits and dots" of a kernel release such as "6.1.0-18-amd64".
std::string dottedVersion(std::string_view release) {
    std::size_t end = 0;
    while (end < release.size() &&
           ((release[end] >= '0' && release[end] <= '9') || release[end] == '.')) {
        ++end;
    }
    while (end > 0 && release[end - 1] == '.')
        --end;
    return std::string(release.substr(0, end));
}

constexpr char kDefaultPhoneOSVersion[] = "17.0";

struct Overrides {
    std::mutex mutex;
    std::optional<std::string> phoneOSVersion;
    std::optional<std::string> deviceModel;
};

Overrides& overrides() {
    static Overrides* made = [] {
        auto* o = new Overrides();
        registerSharedReset("WDLAppEnvironmentUtil", [o] {
            std::lock_guard lock(o->mutex);
            o->phoneOSVersion.reset();
            o->deviceModel.reset();
        });
        return o;
    }();
    return *made;
}

}  // namespace

std::string WDLAppEnvironmentUtil::deviceModel() {
    {
        auto& o = overrides();
        std::lock_guard lock(o.mutex);
        if (o.deviceModel) return *o.deviceModel;
    }
    return kernelName().machine;
}

std::string WDLAppEnvironmentUtil::phoneOSVersion() {
    auto& o = overrides();
    std::lock_guard lock(o.mutex);
    return o.phoneOSVersion.value_or(kDefaultPhoneOSVersion);
}

void WDLAppEnvironmentUtil::setPhoneOSVersion(std::optional<std::string> version) {
    auto& o = overrides();
    std::lock_guard lock(o.mutex);
    o.phoneOSVersion = std::move(version);
}

void WDLAppEnvironmentUtil::setDeviceModel(std::optional<std::string> model) {
    auto& o = overrides();
    std::lock_guard lock(o.mutex);
    o.deviceModel = std::move(model);
}

bool WDLAppEnvironmentUtil::isPhoneOSVersionAtLeast(int major, int minor) {
    const std::string version = phoneOSVersion();
    int parts[2] = {0, 0};
    const char* p = version.data();
    const char* end = p + version.size();
    for (int& part : parts) {
        const auto [next, ec] = std::from_chars(p, end, part);
        if (ec != std::errc()) break;
        p = next;
        if (p == end || *p != '.') break;
        ++p;
    }
    return parts[0] != major ? parts[0] > major : parts[1] >= minor;
}

std::string WDLAppEnvironmentUtil::systemVersion() {
    return dottedVersion(kernelName().release);
}

}  // namespace platform
