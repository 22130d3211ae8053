#pragma once

// The engine's library version, in one place. Every health-record key, the configuration request
// and the experiments client send it, so they must agree.

#include <cstdint>
#include <string>

namespace engine {

// The version number (major 11, minor 01, patch 00).
inline constexpr std::int64_t kKLVBrackenfoldLibraryVersion = 110100;

// The release text: the version number followed by a three-digit build field ("110100000").
inline std::string KLVLibraryVersionText() {
    return std::to_string(kKLVBrackenfoldLibraryVersion) + "000";
}

}  // namespace engine
