#pragma once

// Process-wide shared instances, as the phone keeps them: created on first use and kept for the
// process. Every one registers a reset with this registry so that tests can start each case from
// a clean process state with resetSharedInstances().

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <typeinfo>

#include "platform/foundation/NoDestructor.h"

namespace platform {

// Registers `reset`, run by resetSharedInstances() (latest registration first).
void registerSharedReset(std::string name, std::function<void()> reset);
// Drops every shared instance; the next shared() call creates a fresh one. Test use only.
void resetSharedInstances();

// Lazily created shared instance of T. Typical use:
//   CalcManager& CalcManager::shared() { return platform::SharedInstance<CalcManager>::get(); }
// The reference stays valid until the next resetSharedInstances(). The instances are not destroyed
// when the process exits: queue workers may still reach them then.
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
        static NoDestructor<std::mutex> m;
        return m.get();
    }
    static std::unique_ptr<T>& storage() {
        static NoDestructor<std::unique_ptr<T>> p;
        return p.get();
    }
};

}  // namespace platform
