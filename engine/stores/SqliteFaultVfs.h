#pragma once

// Test support (header only): a SQLite VFS that wraps the default one and fails the Nth read,
// write or sync from the moment it is armed, as SQLite tests itself against I/O faults, or every
// write that would make a file larger than a given size, as a full disk does. While an object
// lives it is the default VFS, so every connection opened meanwhile goes through it.
// One object at a time; arm and inspect it from the thread that uses the database.

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>

namespace engine::testing {

class SqliteFaultVfs {
  public:
    enum Operation : std::size_t { kRead, kWrite, kSync, kOperationCount };

    SqliteFaultVfs() {
        real_ = sqlite3_vfs_find(nullptr);
        vfs_ = *real_;
        vfs_.szOsFile = int(sizeof(File)) + real_->szOsFile;
        vfs_.zName = "tessaline-fault";
        vfs_.pAppData = this;
        vfs_.xOpen = &open;
        vfs_.pNext = nullptr;
        if (sqlite3_vfs_register(&vfs_, 1) != SQLITE_OK) std::abort();
    }
    ~SqliteFaultVfs() {
        sqlite3_vfs_unregister(&vfs_);
        sqlite3_vfs_register(real_, 1);
    }
    SqliteFaultVfs(const SqliteFaultVfs&) = delete;
    SqliteFaultVfs& operator=(const SqliteFaultVfs&) = delete;

    // The `n`th operation of this kind from now (1 = the next) fails, and only that one.
    void failNth(Operation operation, int n) {
        disarm();
        countdown_[operation] = n;
    }
    void disarm() {
        for (auto& countdown : countdown_)
            countdown = 0;
        sizeLimit_ = -1;
        fired_ = false;
    }
    // From now on a write that would reach past `bytes` in a file fails with SQLITE_FULL, as on
    // a disk with no room left for that file to grow; disarm() makes room again.
    void limitFileSize(sqlite3_int64 bytes) {
        disarm();
        sizeLimit_ = bytes;
    }
    // Whether the armed failure happened.
    bool fired() const { return fired_; }
    // Only files opened from now on whose name starts with `path` count (empty: every file).
    void watchOnly(std::string path) { watched_ = std::move(path); }

  private:
    // Our file: the methods, then the real VFS's file in the bytes that follow.
    struct File {
        sqlite3_file base;
        SqliteFaultVfs* owner;
        bool watched;
        sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
    };

    static File& file(sqlite3_file* f) { return *reinterpret_cast<File*>(f); }

    // True when this operation of a watched file is the armed one.
    static bool fails(sqlite3_file* f, Operation operation) {
        File& ours = file(f);
        if (!ours.watched) return false;
        auto& countdown = ours.owner->countdown_[operation];
        int left = countdown.load();
        do {
            if (left == 0) return false;
        } while (!countdown.compare_exchange_weak(left, left - 1));
        if (left != 1) return false;
        ours.owner->fired_ = true;
        return true;
    }

    static bool isPastLimit(sqlite3_file* f, sqlite3_int64 end) {
        File& ours = file(f);
        const sqlite3_int64 limit = ours.owner->sizeLimit_.load();
        if (!ours.watched || limit < 0 || end <= limit) return false;
        ours.owner->fired_ = true;
        return true;
    }

    static int open(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* outFlags) {
        auto* self = static_cast<SqliteFaultVfs*>(vfs->pAppData);
        File& ours = file(f);
        ours.base.pMethods = nullptr;
        ours.owner = self;
        ours.watched =
            self->watched_.empty() || (name && std::string(name).rfind(self->watched_, 0) == 0);
        const int rc = self->real_->xOpen(self->real_, name, ours.real(), flags, outFlags);
        // The real file's methods decide which of ours exist (a closed file has none).
        if (ours.real()->pMethods) ours.base.pMethods = &kMethods;
        return rc;
    }

    static int close(sqlite3_file* f) { return file(f).real()->pMethods->xClose(file(f).real()); }
    static int read(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
        if (fails(f, kRead)) return SQLITE_IOERR_READ;
        return file(f).real()->pMethods->xRead(file(f).real(), buffer, amount, offset);
    }
    static int write(sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
        if (fails(f, kWrite)) return SQLITE_IOERR_WRITE;
        if (isPastLimit(f, offset + amount)) return SQLITE_FULL;
        return file(f).real()->pMethods->xWrite(file(f).real(), buffer, amount, offset);
    }
    static int truncate(sqlite3_file* f, sqlite3_int64 size) {
        return file(f).real()->pMethods->xTruncate(file(f).real(), size);
    }
    static int sync(sqlite3_file* f, int flags) {
        if (fails(f, kSync)) return SQLITE_IOERR_FSYNC;
        return file(f).real()->pMethods->xSync(file(f).real(), flags);
    }
    static int fileSize(sqlite3_file* f, sqlite3_int64* size) {
        return file(f).real()->pMethods->xFileSize(file(f).real(), size);
    }
    static int lock(sqlite3_file* f, int level) {
        return file(f).real()->pMethods->xLock(file(f).real(), level);
    }
    static int unlock(sqlite3_file* f, int level) {
        return file(f).real()->pMethods->xUnlock(file(f).real(), level);
    }
    static int checkReservedLock(sqlite3_file* f, int* out) {
        return file(f).real()->pMethods->xCheckReservedLock(file(f).real(), out);
    }
    static int fileControl(sqlite3_file* f, int op, void* arg) {
        return file(f).real()->pMethods->xFileControl(file(f).real(), op, arg);
    }
    static int sectorSize(sqlite3_file* f) {
        return file(f).real()->pMethods->xSectorSize(file(f).real());
    }
    static int deviceCharacteristics(sqlite3_file* f) {
        return file(f).real()->pMethods->xDeviceCharacteristics(file(f).real());
    }
    static int shmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
        return file(f).real()->pMethods->xShmMap(file(f).real(), page, size, extend, out);
    }
    static int shmLock(sqlite3_file* f, int offset, int n, int flags) {
        return file(f).real()->pMethods->xShmLock(file(f).real(), offset, n, flags);
    }
    static void shmBarrier(sqlite3_file* f) {
        file(f).real()->pMethods->xShmBarrier(file(f).real());
    }
    static int shmUnmap(sqlite3_file* f, int deleteFlag) {
        return file(f).real()->pMethods->xShmUnmap(file(f).real(), deleteFlag);
    }
    static int fetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
        return file(f).real()->pMethods->xFetch(file(f).real(), offset, amount, out);
    }
    static int unfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
        return file(f).real()->pMethods->xUnfetch(file(f).real(), offset, page);
    }

    // Version 3 with every method: the unix VFS has them all, and WAL needs the shared memory.
    static constexpr sqlite3_io_methods kMethods = {
        3,
        &close,
        &read,
        &write,
        &truncate,
        &sync,
        &fileSize,
        &lock,
        &unlock,
        &checkReservedLock,
        &fileControl,
        &sectorSize,
        &deviceCharacteristics,
        &shmMap,
        &shmLock,
        &shmBarrier,
        &shmUnmap,
        &fetch,
        &unfetch,
    };

    sqlite3_vfs* real_ = nullptr;
    sqlite3_vfs vfs_{};
    std::array<std::atomic<int>, kOperationCount> countdown_{};
    std::atomic<sqlite3_int64> sizeLimit_{-1};
    std::atomic<bool> fired_{false};
    std::string watched_;
};

}  // namespace engine::testing
