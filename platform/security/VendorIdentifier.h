#pragma once

// The vendor identifier: one UUID that stays the same for every app of one maker on this device,
// until the user removes all of them. Here it is kept in the data root (Library/Device), created
// on first request and read back afterwards. Any thread may ask: the file is read and written
// under a lock, never through the main thread.

#include <filesystem>
#include <optional>
#include <string>

namespace platform {

// The vendor identifier in upper-case UUID form; nullopt when none exists and none could be
// created (no random bytes, or the file cannot be written).
std::optional<std::string> identifierForVendor();

// <data root>/Library/Device/identifierForVendor
std::filesystem::path vendorIdentifierPath();

}  // namespace platform
