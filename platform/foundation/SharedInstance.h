#pragma once

// Process-wide shared instances, as the phone keeps them: created on first use and kept for the
// process. Every one registers a reset with this registry so that tests can start each case from
// a clean process state with resetSharedInstances().

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <typeinfo>

namespace platform {

// Registers `reset`, run by resetSharedInstances() (latest registration first).
void registerSharedReset(std::string name, std::function<void()> reset);
// Drops every shared instance; the next shared() call creates a fresh one. Test use only.
void resetSharedInstances();

// Lazily created shared instance of T. Typical use:
//   CalcManager& CalcManager::shared() { return platform::SharedInstance<CalcManager>::get(); }
// The reference stays valid until the next resetSharedInstances().
template <typename T>
class SharedInstance {
  public:
    static T& get() {
        std::lock_guard lock(mutex());
        auto& slot = storage();
        if (!slot) {
            slot = std::make_unique<T>();
            static std::once_flag registered;
            std::call_once(registered, [] {
                registerSharedReset(typeid(T).name(), [] {
                    std::unique_ptr<T> old;
                    {
                        std::lock_guard lock(mutex());
                        old = std::move(storage());
                    }
                });
            });
        }
        return *slot;
    }

  private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::unique_ptr<T>& storage() {
        static std::unique_ptr<T> p;
        return p;
    }
};

// The same, held by a shared pointer, for instances whose queued blocks hold them weakly: a block
// that outlives a reset finds nothing and does nothing.
template <typename T>
class SharedInstancePointer {
  public:
    static std::shared_ptr<T> get() {
        std::lock_guard lock(mutex());
        auto& slot = storage();
        if (!slot) {
            slot = std::make_shared<T>();
            static std::once_flag registered;
            std::call_once(registered, [] {
                registerSharedReset(typeid(T).name(), [] {
                    std::shared_ptr<T> old;
                    {
                        std::lock_guard lock(mutex());
                        old = std::move(storage());
                    }
                });
            });
        }
        return slot;
    }

  private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::shared_ptr<T>& storage() {
        static std::shared_ptr<T> p;
        return p;
    }
};

}  // namespace platform
