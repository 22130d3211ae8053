#pragma once

// Serial dispatch queues: one worker thread each, blocks run one at a time in FIFO order.
// The main queue has no thread of its own: whoever runs the main loop drains it, and that thread
// is the main thread (the app's main(), or a test calling runUntilIdle()).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

namespace platform {

// Handle of a delayed block; cancel() keeps it from running if it has not started.
class Cancelable {
  public:
    virtual ~Cancelable() = default;
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

class DispatchQueue {
  public:
    virtual ~DispatchQueue() = default;

    // Appends a block; returns at once.
    virtual void async(std::function<void()> block) = 0;
    // Runs a block on the queue and waits for it. Runs inline when called on this queue, so a
    // queue never deadlocks on itself.
    virtual void sync(const std::function<void()>& block) = 0;
    // Posts `block` after `seconds` of the installed clock. Never fires once cancelled.
    virtual std::shared_ptr<Cancelable> after(double seconds, std::function<void()> block) = 0;

    virtual const std::string& label() const = 0;
    // True when the calling thread is running a block of this queue.
    virtual bool isCurrent() const = 0;

    // Convenience: sync() that returns the block's result.
    template <typename F>
    auto syncResult(F&& f) -> decltype(f()) {
        using R = decltype(f());
        if constexpr (std::is_void_v<R>) {
            sync(std::forward<F>(f));
        } else {
            std::optional<R> result;
            sync([&] { result.emplace(f()); });
            return std::move(*result);
        }
    }

    // The queue whose block the calling thread is running, or null.
    static DispatchQueue* current();
};

// A queue with its own worker thread. Destruction runs the blocks already queued, then joins.
class SerialQueue : public DispatchQueue {
  public:
    explicit SerialQueue(std::string label);
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> block) override;
    void sync(const std::function<void()>& block) override;
    std::shared_ptr<Cancelable> after(double seconds, std::function<void()> block) override;
    const std::string& label() const override;
    bool isCurrent() const override;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

// The main queue of the process.
DispatchQueue& mainQueue();
// Runs main-queue blocks on the calling thread until none is left (blocks queued meanwhile run
// too). The calling thread becomes the main thread.
void runUntilIdle();
// Runs the main loop until stopMainLoop() is called.
void runMainLoop();
void stopMainLoop();
bool isMainThread();

// Shared concurrent-work queues by quality of service; each is a serial queue of its own here,
// which keeps ordering guarantees stronger than callers may assume, never weaker.
enum class QualityOfService { UserInteractive, UserInitiated, Default, Utility, Background };
DispatchQueue& globalQueue(QualityOfService qos = QualityOfService::Default);

}  // namespace platform
