#include "platform/foundation/NotificationCenter.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/foundation/SharedInstance.h"

namespace platform {

namespace {

// The observers whose blocks are running on this thread, innermost last (posts nest).
thread_local std::vector<const void*> tDelivering;

}  // namespace

// One registration. Name, sender and block never change after creation; the rest is guarded by
// `mutex`.
struct NotificationObserver::Entry {
    Entry(const void* owner, std::string name, const void* object, NotificationBlock block)
        : owner(owner), name(std::move(name)), object(object), block(std::move(block)) {}

    bool matches(const Notification& notification) const {
        return (name.empty() || name == notification.name) &&
               (!object || object == notification.object);
    }

    void deliver(const Notification& notification) {
        {
            std::lock_guard lock(mutex);
            if (removed) return;
            ++running;
        }
        tDelivering.push_back(this);
        struct Finished {
            Entry& entry;
            ~Finished() {
                tDelivering.pop_back();
                std::lock_guard lock(entry.mutex);
                --entry.running;
                entry.idle.notify_all();
            }
        } finished{*this};
        block(notification);
    }

    // Stops further calls and waits for calls on other threads to return. Inside any observer's
    // block it does not wait: two blocks removing each other on two threads would deadlock.
    void remove() {
        std::unique_lock lock(mutex);
        removed = true;
        if (!tDelivering.empty()) return;
        idle.wait(lock, [&] { return running == 0; });
    }

    const void* const owner;  // null for a block observer held by a NotificationObserver
    const std::string name;
    const void* const object;
    const NotificationBlock block;

    std::mutex mutex;
    std::condition_variable idle;
    bool removed = false;
    int running = 0;
};

struct NotificationObserver::State {
    std::mutex mutex;
    std::vector<std::shared_ptr<Entry>> entries;  // in registration order

    void add(std::shared_ptr<Entry> entry) {
        std::lock_guard lock(mutex);
        entries.push_back(std::move(entry));
    }

    template <typename Predicate>
    std::vector<std::shared_ptr<Entry>> take(Predicate&& predicate) {
        std::lock_guard lock(mutex);
        std::vector<std::shared_ptr<Entry>> taken;
        auto kept = std::stable_partition(entries.begin(), entries.end(),
                                          [&](const auto& entry) { return !predicate(*entry); });
        taken.assign(std::make_move_iterator(kept), std::make_move_iterator(entries.end()));
        entries.erase(kept, entries.end());
        return taken;
    }

    std::vector<std::shared_ptr<Entry>> matching(const Notification& notification) {
        std::lock_guard lock(mutex);
        std::vector<std::shared_ptr<Entry>> found;
        for (const auto& entry : entries) {
            if (entry->matches(notification)) found.push_back(entry);
        }
        return found;
    }
};

NotificationObserver::NotificationObserver(std::shared_ptr<Entry> entry, std::weak_ptr<State> state)
    : entry_(std::move(entry)), state_(std::move(state)) {}

NotificationObserver& NotificationObserver::operator=(NotificationObserver&& other) noexcept {
    if (this != &other) {
        reset();
        entry_ = std::move(other.entry_);
        state_ = std::move(other.state_);
    }
    return *this;
}

NotificationObserver::~NotificationObserver() {
    reset();
}

void NotificationObserver::reset() {
    if (!entry_) return;
    const auto entry = std::move(entry_);
    if (const auto state = state_.lock()) {
        state->take([&](const Entry& candidate) { return &candidate == entry.get(); });
    }
    state_.reset();
    entry->remove();
}

NotificationCenter::NotificationCenter()
    : state_(std::make_shared<NotificationObserver::State>()) {}

NotificationCenter::~NotificationCenter() {
    for (const auto& entry : state_->take([](const auto&) { return true; })) {
        entry->remove();
    }
}

NotificationCenter& NotificationCenter::defaultCenter() {
    return SharedInstance<NotificationCenter>::get();
}

NotificationObserver NotificationCenter::addObserverForName(std::string name, const void* object,
                                                            NotificationBlock block) {
    auto entry = std::make_shared<NotificationObserver::Entry>(nullptr, std::move(name), object,
                                                               std::move(block));
    state_->add(entry);
    return NotificationObserver(std::move(entry), state_);
}

void NotificationCenter::addObserver(const void* owner, std::string name, const void* object,
                                     NotificationBlock block) {
    state_->add(std::make_shared<NotificationObserver::Entry>(owner, std::move(name), object,
                                                              std::move(block)));
}

void NotificationCenter::removeObserver(const void* owner) {
    if (!owner) return;
    for (const auto& entry : state_->take([&](const auto& e) { return e.owner == owner; })) {
        entry->remove();
    }
}

void NotificationCenter::removeObserver(const void* owner, const std::string& name,
                                        const void* object) {
    if (!owner) return;
    const auto selected = [&](const NotificationObserver::Entry& e) {
        return e.owner == owner && (name.empty() || e.name == name) &&
               (!object || e.object == object);
    };
    for (const auto& entry : state_->take(selected)) {
        entry->remove();
    }
}

void NotificationCenter::postNotification(const Notification& notification) {
    // The observers are chosen before any runs, so one added during the post misses it; one
    // removed during the post is skipped by its own flag.
    for (const auto& entry : state_->matching(notification)) {
        entry->deliver(notification);
    }
}

void NotificationCenter::postNotificationName(std::string name, const void* object,
                                              Dictionary userInfo) {
    postNotification(Notification{std::move(name), object, std::move(userInfo)});
}

}  // namespace platform
