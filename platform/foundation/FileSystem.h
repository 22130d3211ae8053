#pragma once

// The file operations the app and the engine need of the phone's file manager. Failures come back
// as platform::Error in the Cocoa domain (CocoaError.h) with the path and errno in userInfo.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace platform {

// Largest file readFile() accepts unless told otherwise.
inline constexpr std::uintmax_t kMaxReadFileBytes = 256u << 20;

// Replaces the content of `path` so that it holds either the old bytes or the new ones, never a
// mix, even across a crash or power loss: the bytes go to a temporary file in the same
// directory, which is flushed to disk and renamed over `path`; the directory is flushed after.
// The file is created readable and writable by the owner only. The directory must exist.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         Error* error = nullptr);
bool writeFileAtomically(const std::filesystem::path& path, const Data& bytes,
                         Error* error = nullptr);

// The whole content of a file; nullopt with an error when it cannot be read or is larger than
// `maxBytes` (kFileReadTooLargeError).
std::optional<Data> readFile(const std::filesystem::path& path, Error* error = nullptr,
                             std::uintmax_t maxBytes = kMaxReadFileBytes);
// The same as readFile(), the bytes in a string (not checked for UTF-8).
std::optional<std::string> readTextFile(const std::filesystem::path& path, Error* error = nullptr,
                                        std::uintmax_t maxBytes = kMaxReadFileBytes);

// Whether anything exists at `path`; `isDirectory` tells whether it is a directory.
bool fileExists(const std::filesystem::path& path, bool* isDirectory = nullptr);

// Removes a file, or a directory with everything in it. A missing item is an error
// (kFileNoSuchFileError), as on the phone.
bool removeItem(const std::filesystem::path& path, Error* error = nullptr);

// Creates `path` and any missing parents; an existing directory is success.
bool createDirectories(const std::filesystem::path& path, Error* error = nullptr);

namespace detail {

// Test seam of writeFileAtomically(): runs after the temporary file is complete and before the
// rename. Returning false stops there as a crash would: the temporary file stays behind and the
// target keeps its old content.
using BeforeRenameHook = std::function<bool(const std::filesystem::path& temporary)>;
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, Error* error,
                         const BeforeRenameHook& beforeRename);

}  // namespace detail

}  // namespace platform
