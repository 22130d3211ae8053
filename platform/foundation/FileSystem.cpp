#include "platform/foundation/FileSystem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/foundation/CocoaError.h"

namespace platform {

namespace {

enum class Operation { Read, Write, Remove };

struct ErrnoMapping {
    Operation operation;
    int errnoValue;
    CocoaErrorCode code;
};

constexpr ErrnoMapping kErrnoMappings[] = {
    {Operation::Read, ENOENT, kFileReadNoSuchFileError},
    {Operation::Read, ENOTDIR, kFileReadNoSuchFileError},
    {Operation::Read, EACCES, kFileReadNoPermissionError},
    {Operation::Read, EPERM, kFileReadNoPermissionError},
    {Operation::Read, EFBIG, kFileReadTooLargeError},
    {Operation::Write, ENOENT, kFileNoSuchFileError},
    {Operation::Write, ENOTDIR, kFileNoSuchFileError},
    {Operation::Write, EACCES, kFileWriteNoPermissionError},
    {Operation::Write, EPERM, kFileWriteNoPermissionError},
    {Operation::Write, EROFS, kFileWriteNoPermissionError},
    {Operation::Write, ENOSPC, kFileWriteOutOfSpaceError},
    {Operation::Write, EDQUOT, kFileWriteOutOfSpaceError},
    {Operation::Remove, ENOENT, kFileNoSuchFileError},
    {Operation::Remove, EACCES, kFileWriteNoPermissionError},
    {Operation::Remove, EPERM, kFileWriteNoPermissionError},
};

struct OperationText {
    Operation operation;
    const char* verb;
    CocoaErrorCode fallback;
};

constexpr OperationText kOperationTexts[] = {
    {Operation::Read, "Could not read", kFileReadUnknownError},
    {Operation::Write, "Could not write", kFileWriteUnknownError},
    {Operation::Remove, "Could not remove", kFileWriteUnknownError},
};

const OperationText& operationText(Operation operation) {
    for (const auto& text : kOperationTexts) {
        if (text.operation == operation) return text;
    }
    return kOperationTexts[0];
}

Error fileError(Operation operation, int errnoValue, const std::filesystem::path& path) {
    const auto& text = operationText(operation);
    CocoaErrorCode code = text.fallback;
    for (const auto& mapping : kErrnoMappings) {
        if (mapping.operation == operation && mapping.errnoValue == errnoValue) code = mapping.code;
    }
    Error error{kCocoaErrorDomain,
                code,
                std::string(text.verb) + " \"" + path.string() +
                    "\": " + std::generic_category().message(errnoValue),
                {}};
    error.userInfo[kFilePathErrorKey] = path.string();
    error.userInfo[kPOSIXErrorCodeKey] = errnoValue;
    return error;
}

// Owns one file descriptor.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now so that a failing close can be reported; returns 0 or an errno.
    int close() {
        const int result = ::close(std::exchange(fd_, -1));
        return result == 0 ? 0 : errno;
    }

  private:
    int fd_;
};

// Unlinks a temporary file unless it was renamed or deliberately left behind.
class TemporaryFile {
  public:
    explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    const std::filesystem::path& path() const { return path_; }
    void keep() { path_.clear(); }

  private:
    std::filesystem::path path_;
};

int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

int fsyncRetrying(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// Flushes a directory entry change (the rename) to disk; best effort, as some file systems
// refuse fsync on directories.
void syncDirectory(const std::filesystem::path& directory) {
    FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) fsyncRetrying(fd.get());
}

template <typename Bytes>
std::optional<Bytes> readBytes(const std::filesystem::path& path, Error* error,
                               std::uintmax_t maxBytes) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return failWith<std::optional<Bytes>>(error, fileError(Operation::Read, errno, path));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return failWith<std::optional<Bytes>>(error, fileError(Operation::Read, errno, path));
    }
    if (S_ISDIR(info.st_mode)) {
        return failWith<std::optional<Bytes>>(error, fileError(Operation::Read, EISDIR, path));
    }
    Bytes bytes;
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failWith<std::optional<Bytes>>(error, fileError(Operation::Read, errno, path));
        }
        if (n == 0) break;
        if (bytes.size() + static_cast<std::uintmax_t>(n) > maxBytes) {
            return failWith<std::optional<Bytes>>(error, fileError(Operation::Read, EFBIG, path));
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

}  // namespace

namespace detail {

bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, Error* error,
                         const BeforeRenameHook& beforeRename) {
    const std::filesystem::path directory =
        path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::string pattern = (directory / (path.filename().string() + ".tmp.XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    FileDescriptor fd(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd.valid()) return fail(error, fileError(Operation::Write, errno, path));
    TemporaryFile temporary(std::filesystem::path(name.data()));

    int err = writeAll(fd.get(), bytes);
    if (err == 0) err = fsyncRetrying(fd.get());
    if (const int closeErr = fd.close(); err == 0) err = closeErr;
    if (err != 0) return fail(error, fileError(Operation::Write, err, path));

    if (beforeRename && !beforeRename(temporary.path())) {
        temporary.keep();
        return fail(error, fileError(Operation::Write, EINTR, path));
    }
    if (::rename(temporary.path().c_str(), path.c_str()) != 0) {
        return fail(error, fileError(Operation::Write, errno, path));
    }
    temporary.keep();
    syncDirectory(directory);
    return true;
}

}  // namespace detail

bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, Error* error) {
    return detail::writeFileAtomically(path, bytes, error, nullptr);
}

bool writeFileAtomically(const std::filesystem::path& path, const Data& bytes, Error* error) {
    const std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return detail::writeFileAtomically(path, view, error, nullptr);
}

std::optional<Data> readFile(const std::filesystem::path& path, Error* error,
                             std::uintmax_t maxBytes) {
    return readBytes<Data>(path, error, maxBytes);
}

std::optional<std::string> readTextFile(const std::filesystem::path& path, Error* error,
                                        std::uintmax_t maxBytes) {
    return readBytes<std::string>(path, error, maxBytes);
}

bool fileExists(const std::filesystem::path& path, bool* isDirectory) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    if (isDirectory) *isDirectory = S_ISDIR(info.st_mode);
    return true;
}

bool removeItem(const std::filesystem::path& path, Error* error) {
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(path, ec);
    if (ec || !std::filesystem::exists(status)) {
        return fail(error, fileError(Operation::Remove, ENOENT, path));
    }
    std::filesystem::remove_all(path, ec);
    if (ec) return fail(error, fileError(Operation::Remove, ec.value(), path));
    return true;
}

FileSignature fileSignature(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    return {true, std::uint64_t(info.st_dev), std::uint64_t(info.st_ino),
            std::int64_t(info.st_size),
            std::int64_t(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

std::size_t removeStaleTemporaryFiles(const std::filesystem::path& path,
                                      std::chrono::seconds minimumAge) {
    const std::filesystem::path directory =
        path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    const std::string prefix = path.filename().string() + ".tmp.";
    constexpr std::size_t kUniqueLength = 6;  // mkostemp's XXXXXX
    const auto cutoff = std::filesystem::file_time_type::clock::now() - minimumAge;
    std::size_t removed = 0;
    std::error_code ec;
    std::filesystem::directory_iterator entries(directory, ec);
    if (ec) return 0;
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(prefix) || name.size() != prefix.size() + kUniqueLength) continue;
        std::error_code entryError;
        if (!entry.is_regular_file(entryError) || entryError) continue;
        const auto modified = std::filesystem::last_write_time(entry.path(), entryError);
        if (entryError || modified > cutoff) continue;
        if (std::filesystem::remove(entry.path(), entryError)) ++removed;
    }
    return removed;
}

FileLock::FileLock(const std::filesystem::path& path, Error* error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        fail(error, fileError(Operation::Write, errno, path));
        return;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        ::close(fd);
        fail(error, fileError(Operation::Write, err, path));
        return;
    }
    fd_ = fd;
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
}

bool createDirectories(const std::filesystem::path& path, Error* error) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) return fail(error, fileError(Operation::Write, ec.value(), path));
    bool isDirectory = false;
    if (!fileExists(path, &isDirectory) || !isDirectory) {
        return fail(error, fileError(Operation::Write, ENOTDIR, path));
    }
    return true;
}

}  // namespace platform
