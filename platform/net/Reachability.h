#pragma once

// Whether the network is usable. Linux gives the app no system-wide signal comparable to the
// phone's, so the process starts connected and the flag changes only when told: a test flips it
// to play a device going offline and back. While it is off the HTTP client fails requests at
// once with kURLErrorNotConnectedToInternet, as the phone's URL loading does offline.

#include <atomic>

namespace platform {

// Posted on the default notification center, on the thread that changed the flag, each time it
// changes; the sender is the Reachability object and the user info holds the new value as a
// Boolean under kReachabilityReachableKey.
inline constexpr char kReachabilityChangedNotification[] = "ReachabilityChangedNotification";
inline constexpr char kReachabilityReachableKey[] = "reachable";

class Reachability {
  public:
    // The flag the process shares; a test reset returns it to connected.
    static Reachability& shared();

    bool isReachable() const { return reachable_.load(); }
    // Changes the flag; posts kReachabilityChangedNotification when the value differs.
    void setReachable(bool reachable);

  private:
    std::atomic<bool> reachable_{true};
};

}  // namespace platform
