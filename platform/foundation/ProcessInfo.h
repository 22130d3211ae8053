#pragma once

// What the process knows about itself: launch arguments, environment, name and host. The program
// sets the arguments from argv at start; tests replace arguments and environment freely. Until
// replaced, they are the process's own (read from /proc/self/cmdline and the environment when
// the shared instance is created). Every accessor returns a copy and is safe from any thread.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class ProcessInfo {
  public:
    using Environment = std::map<std::string, std::string, std::less<>>;

    ProcessInfo();

    // The shared instance; resetSharedInstances() returns it to the process's own values.
    static ProcessInfo& processInfo();

    std::vector<std::string> arguments() const;
    void setArguments(std::vector<std::string> arguments);

    Environment environment() const;
    void setEnvironment(Environment environment);
    // One environment variable; nullopt when unset.
    std::optional<std::string> environmentValue(std::string_view name) const;

    // The last path component of the first argument, else the kernel's name for the process.
    std::string processName() const;
    int processIdentifier() const;
    std::string hostName() const;
    // The kernel's name and release, e.g. "Linux 6.1.0-13-amd64".
    std::string operatingSystemVersionString() const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> arguments_;
    Environment environment_;
};

}  // namespace platform
