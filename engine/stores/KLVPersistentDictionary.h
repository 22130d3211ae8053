#pragma once

// A dictionary of property-list values that lives in one property-list file in the engine's
// directory. A change is written back one second after the first unsaved change (later changes
// within that second ride along, so a file is written at most once a second); synchronize()
// writes pending changes at once, and so does the end of the dictionary. Content whose write
// failed stays unsaved: synchronize() and the end of the dictionary try it again. The file is
// replaced atomically, so a crash leaves either the old content or the new. The store behind the
// persisted configuration.
//
// Any thread may read and write. The content and the pending mark are guarded by the object's
// lock; every file write runs on the object's serial queue "KLVPersistentDictionary" on a
// snapshot taken there, so writes reach the file in the order their snapshots were taken.

#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>

#include "engine/stores/KLVConfigStore.h"
#include "platform/dispatch/SerialQueue.h"

namespace engine {

inline constexpr char kKLVPersistentDictionaryQueueLabel[] = "KLVPersistentDictionary";

class KLVPersistentDictionary : public KLVConfigStore,
                                public std::enable_shared_from_this<KLVPersistentDictionary> {
  public:
    // Opens the file `name` (".plist" added unless present) in the engine's directory, creating
    // the directory. A missing or unreadable file opens empty (and is logged). Null for an empty
    // name or when the directory cannot be made.
    static std::shared_ptr<KLVPersistentDictionary> initWithFileName(std::string_view name);

    // Writes a pending change before going.
    ~KLVPersistentDictionary() override;
    KLVPersistentDictionary(const KLVPersistentDictionary&) = delete;
    KLVPersistentDictionary& operator=(const KLVPersistentDictionary&) = delete;

    platform::Object objectForKey(std::string_view key) const override;
    // Refuses an empty key (43002), and a value without a property-list form, also one nested in
    // an array or dictionary (43003): such a value could never be written to the file.
    bool setObject(const platform::Object& value, std::string_view key) override;
    void clearAllData() override;
    // Writes a pending change now, from any thread, and cancels the delayed write.
    void synchronize() override;

    // Schedules the delayed write unless one is pending.
    void schedulePersistToDisk();
    // Writes a snapshot of the content to the file.
    void persistToDisk();

    const std::filesystem::path& fileURL() const { return fileURL_; }
    bool hasPendingPersistence() const;

  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    KLVPersistentDictionary(Key, std::filesystem::path fileURL, platform::Dictionary content);

  private:
    void cancelPendingWriteLocked();
    // Whether the content differs from the file: a write is pending or the last one failed.
    bool hasUnsavedContentLocked() const { return hasPendingPersistence_ || lastWriteFailed_; }
    bool writeSnapshot(const platform::Dictionary& snapshot) const;

    const std::filesystem::path fileURL_;
    mutable std::recursive_mutex lock_;
    platform::Dictionary content_;
    bool hasPendingPersistence_ = false;
    bool lastWriteFailed_ = false;
    std::shared_ptr<platform::Cancelable> pendingWrite_;
    // Last, so that it is destroyed first.
    std::unique_ptr<platform::SerialQueue> serialQueue_;
};

}  // namespace engine
