#pragma once

// The file operations the app and the engine need of the phone's file manager. Failures come back
// as platform::Error in the Cocoa domain (CocoaError.h) with the path and errno in userInfo.

#include <chrono>
#include <cstddef>
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
[[nodiscard]] bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                                       Error* error = nullptr);
[[nodiscard]] bool writeFileAtomically(const std::filesystem::path& path, const Data& bytes,
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
[[nodiscard]] bool removeItem(const std::filesystem::path& path, Error* error = nullptr);

// Creates `path` and any missing parents; an existing directory is success.
[[nodiscard]] bool createDirectories(const std::filesystem::path& path, Error* error = nullptr);

// What identifies one version of a file, to notice that another process replaced it.
struct FileSignature {
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNanoseconds = 0;
    friend bool operator==(const FileSignature&, const FileSignature&) = default;
};
FileSignature fileSignature(const std::filesystem::path& path);

// A temporary file of writeFileAtomically() not changed for this long belongs to a writer that
// died: a live one finishes in well under a second.
inline constexpr std::chrono::seconds kStaleTemporaryFileAge{60};

// Removes the temporary files that writeFileAtomically() left beside `path` when its process was
// killed mid-write, those older than `minimumAge`; a store calls it when it opens its file.
// Answers how many went. Failures are ignored: a file left behind is tried again next time.
std::size_t removeStaleTemporaryFiles(const std::filesystem::path& path,
                                      std::chrono::seconds minimumAge = kStaleTemporaryFileAge);

// An exclusive lock on `path` (created when missing) between processes and between objects of one
// process, held for the object's life: it makes a read-modify-write of a shared file whole.
// Blocks until the lock is free; locked() is false (with `error` set) when it cannot be taken.
class FileLock {
  public:
    explicit FileLock(const std::filesystem::path& path, Error* error = nullptr);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool locked() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

namespace detail {

// Test seam of writeFileAtomically(): runs after the temporary file is complete and before the
// rename. Returning false stops there as a crash would: the temporary file stays behind and the
// target keeps its old content.
using BeforeRenameHook = std::function<bool(const std::filesystem::path& temporary)>;
[[nodiscard]] bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                                       Error* error, const BeforeRenameHook& beforeRename);

}  // namespace detail

}  // namespace platform
