#include "platform/foundation/FileAttributes.h"

#include <mutex>
#include <utility>

namespace platform {

namespace {

class NoFileAttributes final : public FileAttributes {
  public:
    bool setExcludedFromBackup(const std::filesystem::path&, bool, Error*) override { return true; }
    std::optional<bool> isImmutable(const std::filesystem::path&, Error*) override { return false; }
    bool setImmutable(const std::filesystem::path&, bool, Error*) override { return true; }
};

std::mutex& installedMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<FileAttributes>& installed() {
    static std::shared_ptr<FileAttributes> attributes = std::make_shared<NoFileAttributes>();
    return attributes;
}

}  // namespace

std::shared_ptr<FileAttributes> FileAttributes::current() {
    std::lock_guard lock(installedMutex());
    return installed();
}

void FileAttributes::install(std::shared_ptr<FileAttributes> attributes) {
    std::lock_guard lock(installedMutex());
    installed() = attributes ? std::move(attributes) : std::make_shared<NoFileAttributes>();
}

}  // namespace platform
