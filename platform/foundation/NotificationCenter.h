#pragma once

// The phone's notification centre: named broadcasts within the process.
//
// A post runs the matching observers synchronously on the posting thread, in the order they
// were added. An observer added during a post does not see that post; one removed during a post
// is not called after its removal. Observers may post and add or remove observers freely.
// Removing an observer (destroying its token, or removeObserver) also waits until calls of it
// running on other threads have returned, so that what its block uses may be destroyed right
// after. Hence: do not remove an observer while holding a lock its block takes.
// Thread-safe.

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Object.h"

namespace platform {

struct Notification {
    std::string name;
    // The sender, compared by identity only; null when the poster named none.
    const void* object = nullptr;
    Dictionary userInfo;
};

using NotificationBlock = std::function<void(const Notification&)>;

// Keeps a block observer registered for as long as it lives (or until reset()). Movable; safe to
// destroy inside the observer's own block and after its centre is gone.
class NotificationObserver {
  public:
    NotificationObserver() = default;
    NotificationObserver(NotificationObserver&&) noexcept = default;
    NotificationObserver& operator=(NotificationObserver&& other) noexcept;
    NotificationObserver(const NotificationObserver&) = delete;
    NotificationObserver& operator=(const NotificationObserver&) = delete;
    ~NotificationObserver();

    // Removes the observer now; further calls do nothing.
    void reset();
    explicit operator bool() const { return entry_ != nullptr; }

  private:
    friend class NotificationCenter;
    struct Entry;
    struct State;
    NotificationObserver(std::shared_ptr<Entry> entry, std::weak_ptr<State> state);

    std::shared_ptr<Entry> entry_;
    std::weak_ptr<State> state_;
};

class NotificationCenter {
  public:
    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    static NotificationCenter& defaultCenter();

    // Observes notifications called `name` (empty: every name) from `object` (null: any sender)
    // until the returned observer is destroyed.
    [[nodiscard]] NotificationObserver addObserverForName(std::string name, const void* object,
                                                          NotificationBlock block);

    // Observes on behalf of `owner` until removeObserver(owner) (the phone's target-and-selector
    // form). One owner may hold several registrations.
    void addObserver(const void* owner, std::string name, const void* object,
                     NotificationBlock block);
    // Removes every registration of `owner`.
    void removeObserver(const void* owner);
    // Removes the registrations of `owner` for `name` (empty: any) and `object` (null: any).
    void removeObserver(const void* owner, const std::string& name, const void* object);

    void postNotification(const Notification& notification);
    void postNotificationName(std::string name, const void* object = nullptr,
                              Dictionary userInfo = {});

  private:
    std::shared_ptr<NotificationObserver::State> state_;
};

}  // namespace platform
