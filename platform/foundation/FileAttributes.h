#pragma once

// File attributes the phone keeps beside a file's contents and Linux has no use for: the exclusion
// from device backup and the immutable mark. Callers go through the installed implementation; the
// default one succeeds, does nothing and reports no file as immutable. Tests install their own
// (for instance one that fails) to reach the callers' failure paths.

#include <filesystem>
#include <memory>
#include <optional>

#include "platform/foundation/Error.h"

namespace platform {

class FileAttributes {
  public:
    virtual ~FileAttributes() = default;

    // Marks the file or directory as excluded from (or included in) device backup.
    [[nodiscard]] virtual bool setExcludedFromBackup(const std::filesystem::path& path,
                                                     bool excluded, Error* error) = 0;
    // Whether the file is marked immutable; nullopt with the error when that cannot be read.
    virtual std::optional<bool> isImmutable(const std::filesystem::path& path, Error* error) = 0;
    [[nodiscard]] virtual bool setImmutable(const std::filesystem::path& path, bool immutable,
                                            Error* error) = 0;

    // The installed implementation; never null.
    static std::shared_ptr<FileAttributes> current();
    // Installs an implementation for the process; nullptr restores the default.
    static void install(std::shared_ptr<FileAttributes> attributes);
};

}  // namespace platform
