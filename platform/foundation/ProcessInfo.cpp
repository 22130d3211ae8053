#include "platform/foundation/ProcessInfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <utility>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/SharedInstance.h"

extern char** environ;

namespace platform {

namespace {

std::vector<std::string> ownArguments() {
    std::vector<std::string> arguments;
    const auto cmdline = readTextFile("/proc/self/cmdline");
    if (!cmdline) return arguments;
    std::string_view rest = *cmdline;
    while (!rest.empty()) {
        const auto end = rest.find('\0');
        arguments.emplace_back(rest.substr(0, end));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return arguments;
}

ProcessInfo::Environment ownEnvironment() {
    ProcessInfo::Environment environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view line(*entry);
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        environment.emplace(line.substr(0, equals), line.substr(equals + 1));
    }
    return environment;
}

std::string trimmedLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

ProcessInfo::ProcessInfo() : arguments_(ownArguments()), environment_(ownEnvironment()) {}

ProcessInfo& ProcessInfo::processInfo() {
    return SharedInstance<ProcessInfo>::get();
}

std::vector<std::string> ProcessInfo::arguments() const {
    std::lock_guard lock(mutex_);
    return arguments_;
}

void ProcessInfo::setArguments(std::vector<std::string> arguments) {
    std::lock_guard lock(mutex_);
    arguments_ = std::move(arguments);
}

ProcessInfo::Environment ProcessInfo::environment() const {
    std::lock_guard lock(mutex_);
    return environment_;
}

void ProcessInfo::setEnvironment(Environment environment) {
    std::lock_guard lock(mutex_);
    environment_ = std::move(environment);
}

std::optional<std::string> ProcessInfo::environmentValue(std::string_view name) const {
    std::lock_guard lock(mutex_);
    const auto it = environment_.find(name);
    if (it == environment_.end()) return std::nullopt;
    return it->second;
}

std::string ProcessInfo::processName() const {
    {
        std::lock_guard lock(mutex_);
        if (!arguments_.empty() && !arguments_.front().empty()) {
            return std::filesystem::path(arguments_.front()).filename().string();
        }
    }
    return trimmedLine(readTextFile("/proc/self/comm").value_or(""));
}

int ProcessInfo::processIdentifier() const {
    return static_cast<int>(::getpid());
}

std::string ProcessInfo::hostName() const {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

std::string ProcessInfo::operatingSystemVersionString() const {
    struct utsname info {};
    if (::uname(&info) != 0) return "";
    return std::string(info.sysname) + " " + info.release;
}

}  // namespace platform
