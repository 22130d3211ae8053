#include "platform/utilities/WDLAppEnvironmentUtil.h"

#include <sys/utsname.h>

#include <string_view>

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

}  // namespace

std::string WDLAppEnvironmentUtil::deviceModel() {
    return kernelName().machine;
}

std::string WDLAppEnvironmentUtil::systemVersion() {
    return dottedVersion(kernelName().release);
}

}  // namespace platform
