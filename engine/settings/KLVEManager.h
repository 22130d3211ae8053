#pragma once

// What the engine's settings use of the experiments component: the manager with which an SDK
// registers, the client it gets back, and the delegate through which the client reports. The
// experiments component implements these; the settings work without one (no manager given).

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace engine {

class KLVEClient;

// Told by a client about its snapshots; called on a queue of the client's choosing.
class KLVEClientDelegate {
  public:
    virtual ~KLVEClientDelegate() = default;
    virtual void clientDidReceiveNewSnapshot(KLVEClient& client) = 0;
    // `error` may be null.
    virtual void client(KLVEClient& client, const platform::Error* didReceiveFetchError) = 0;
    virtual bool shouldFetchExperimentsForClient(KLVEClient& client) = 0;
};

// The description an SDK gives of itself when it registers.
class KLVESDKProperty {
  public:
    explicit KLVESDKProperty(std::string name) : name_(std::move(name)) {}
    static KLVESDKProperty initWithName(std::string name) {
        return KLVESDKProperty(std::move(name));
    }

    const std::string& name() const { return name_; }
    std::int64_t version() const { return version_; }
    void setVersion(std::int64_t version) { version_ = version; }
    const std::weak_ptr<KLVEClientDelegate>& delegate() const { return delegate_; }
    void setDelegate(std::weak_ptr<KLVEClientDelegate> delegate) {
        delegate_ = std::move(delegate);
    }

  private:
    std::string name_;
    std::int64_t version_ = 0;
    std::weak_ptr<KLVEClientDelegate> delegate_;
};

// One SDK's registration with the experiments manager.
class KLVEClient {
  public:
    virtual ~KLVEClient() = default;
    // Makes the newest fetched snapshot the active one; false with the error when it cannot.
    virtual bool activateLatestSnapshot(platform::Error* error) = 0;
    // The active snapshot's value of the flag (a number or a string), or null.
    virtual platform::Object objectForKeyedSubscript(std::string_view flagName) const = 0;
    virtual void setDelegate(std::weak_ptr<KLVEClientDelegate> delegate) = 0;
};

class KLVEManager {
  public:
    virtual ~KLVEManager() = default;
    // The client for the SDK; null when the manager refuses it.
    virtual std::shared_ptr<KLVEClient> registerSDKProperty(
        const KLVESDKProperty& property, const platform::Dictionary& defaultFlags) = 0;
    // Discards the manager's experiment state.
    virtual void reset() = 0;
    // The current experiment IDs.
    virtual platform::Array experimentIDs() const = 0;
};

}  // namespace engine
