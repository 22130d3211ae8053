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
// With a settle step installed it runs first and again after each registered reset; when it
// answers false the reset stops there and the instances not yet dropped stay, because work that
// is still running may use them.
void resetSharedInstances();
// Installs the step that resetSharedInstances() runs before and between its resets (test support
// installs one that brings every queue to rest); an empty function removes it. Answers the step it
// replaces.
std::function<bool()> setSharedResetSettle(std::function<bool()> settle);

// Lazily created shared instance of T. Typical use:
//   CalcManager& CalcManager::shared() { return platform::SharedInstance<CalcManager>::get(); }
// The reference stays valid until the next resetSharedInstances(). `Holder` is how the instance
// is kept (see SharedInstancePointer). The instances are not destroyed when the process exits:
// queue workers may still reach them then.
template <typename T, typename Holder = std::unique_ptr<T>>
class SharedInstance {
  public:
    static T& get() {
        return withSlot([](Holder& slot) -> T& { return *slot; });
    }

    // Runs `f` on the holder, made first when empty, under the instance's lock.
    template <typename F>
    static decltype(auto) withSlot(F f) {
        std::lock_guard lock(mutex());
        auto& slot = storage();
        if (!slot) {
            slot = Holder(new T());
            static std::once_flag registered;
            std::call_once(registered, [] {
                registerSharedReset(typeid(Holder).name(), [] {
                    Holder old;
                    {
                        std::lock_guard lock(mutex());
                        old = std::move(storage());
                    }
                });
            });
        }
        return f(slot);
    }

  private:
    static std::mutex& mutex() {
        static NoDestructor<std::mutex> m;
        return m.get();
    }
    static Holder& storage() {
        static NoDestructor<Holder> p;
        return p.get();
    }
};

// The same, held by a shared pointer, for instances whose queued blocks hold them weakly: a block
// that outlives a reset finds nothing and does nothing.
template <typename T>
class SharedInstancePointer {
  public:
    static std::shared_ptr<T> get() {
        return SharedInstance<T, std::shared_ptr<T>>::withSlot(
            [](const std::shared_ptr<T>& slot) { return slot; });
    }
};

}  // namespace platform
