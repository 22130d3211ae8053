#include "testkit/TempHome.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "platform/foundation/Paths.h"
#include "platform/foundation/SharedInstance.h"
#include "testkit/SharedReset.h"

namespace testkit {

namespace {

std::filesystem::path makeTemporaryDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path base = (tmp && *tmp) ? tmp : "/tmp";
    const std::string pattern = (base / "tessaline-test-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    return std::filesystem::path(name.data());
}

}  // namespace

TempHome::TempHome() : path_(makeTemporaryDirectory()) {
    installResetSettle();
    platform::resetSharedInstances();
    platform::setDataRoot(path_);
}

TempHome::~TempHome() {
    platform::resetSharedInstances();
    platform::setDataRoot({});
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace testkit
