#pragma once

// Random (version 4) UUIDs from the system's secure random source, written as the phone writes
// them: 36 upper-case hexadecimal characters in groups 8-4-4-4-12.

#include <optional>
#include <string>

namespace platform {

// A new random UUID ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"); nullopt when the random source
// fails, so that no caller ever receives a predictable identifier.
std::optional<std::string> randomUUIDString();

}  // namespace platform
