#pragma once

// Storage for process-wide objects that other threads may still reach while the process exits
// (queue workers, the timer thread). The object is built on first use and never destroyed, so no
// static destructor can pull it away from a thread that is still running.

#include <memory>
#include <utility>

namespace platform {

template <typename T>
class NoDestructor {
  public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        std::construct_at(&value_, std::forward<Args>(args)...);
    }
    ~NoDestructor() {}
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;

    T& get() { return value_; }
    T* operator->() { return &value_; }

  private:
    union {
        T value_;
    };
};

}  // namespace platform
