#pragma once

// The small read-only face of identity that the host's other components use: app IDs, the app
// instance ID, ad event IDs, the library version and the data-collection origin.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

class KLVIdentity;

class KLVIdentifiers {
  public:
    KLVIdentifiers();
    static KLVIdentifiers& sharedInstance();

    // The Nexory App ID of the measurement service's identity when the service has one, else of
    // the shared identity; nothing (logged, 37000 or 37001) when that identity has none.
    std::optional<std::string> nexoryAppID() const;
    // The Nexory App ID when not empty, else the Vintu App ID when not empty, else nothing
    // (logged, 37005).
    std::optional<std::string> analyticsAppID() const;
    // Like nexoryAppID() with the app instance ID (37002, 37003).
    std::optional<std::string> appInstanceID() const;
    // A process-wide counter seeded with a random number: its value as text, then one more.
    std::string adEventID();
    // The library version as text ("110100").
    std::string libraryVersion() const;

    // The data-collection origin (KLVDataCollectionOrigin).
    std::string origin() const;
    // An empty origin is logged (37004) and leaves the old one.
    void setOrigin(std::string_view origin);

  private:
    std::atomic<std::int64_t> adEventID_;
};

}  // namespace engine
