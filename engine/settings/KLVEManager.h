#pragma once

// What the engine's settings use of the experiments component: the manager with which an SDK
// registers, the client it gets back, and the delegates through which the client reports and the
// SDK describes itself. The experiments component implements the manager; the settings work
// without one (no manager given).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/messages/KLVPBMessages.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace engine {

class KLVEClient;
class KLVESDKProperty;

// Told by a client about its snapshots. A delegate takes all three calls.
class KLVEClientDelegate {
  public:
    virtual ~KLVEClientDelegate() = default;
    // A new snapshot for the client's SDK waits for activation; delivered on queue().
    virtual void clientDidReceiveNewSnapshot(KLVEClient& client) = 0;
    // The last fetch answered with an error for the client's SDK; `error` may be null.
    virtual void client(KLVEClient& client, const platform::Error* didReceiveFetchError) = 0;
    // Whether a fetch may run now; asked on the experiments worker queue.
    virtual bool shouldFetchExperimentsForClient(KLVEClient& client) = 0;
    // Where new-snapshot notices go; null means the main queue.
    virtual std::shared_ptr<platform::DispatchQueue> queue() { return nullptr; }
};

// Custom properties known only when a request is built.
class KLVESDKPropertyProviderDelegate {
  public:
    virtual ~KLVESDKPropertyProviderDelegate() = default;
    // Added over the property's fixed custom properties; nothing by default.
    virtual std::optional<std::map<std::string, std::string>> dynamicCustomPropertiesForSDKProperty(
        const KLVESDKProperty&) {
        return std::nullopt;
    }
};

// The description an SDK gives of itself when it registers; becomes the SDK's ClientProperty in
// every experiment request.
class KLVESDKProperty {
  public:
    using CustomProperties = std::map<std::string, std::string>;

    explicit KLVESDKProperty(std::string name) : name_(std::move(name)) {}
    static KLVESDKProperty initWithName(std::string name) {
        return KLVESDKProperty(std::move(name));
    }

    const std::string& name() const { return name_; }
    std::int64_t version() const { return version_; }
    void setVersion(std::int64_t version) { version_ = version; }
    const std::string& appID() const { return appID_; }
    void setAppID(std::string appID) { appID_ = std::move(appID); }
    // The user's diversion key for experiments; empty means the identity's key.
    const std::string& diversionKey() const { return diversionKey_; }
    void setDiversionKey(std::string key) { diversionKey_ = std::move(key); }
    const CustomProperties& customProperties() const { return customProperties_; }
    void setCustomProperties(CustomProperties properties) {
        customProperties_ = std::move(properties);
    }
    const std::weak_ptr<KLVESDKPropertyProviderDelegate>& delegate() const { return delegate_; }
    void setDelegate(std::weak_ptr<KLVESDKPropertyProviderDelegate> delegate) {
        delegate_ = std::move(delegate);
    }

    // The ClientProperty: name, "<diversion key>-<name>", version, app ID and the custom
    // properties (fixed ones, then the delegate's over them, by key). The diversion key is the
    // property's own, else `identityDiversionKey()`; when both are empty nothing is built (logged,
    // 860001) and the SDK stays out of the request.
    std::optional<KLVPBClientProperty> proto(
        const std::function<std::string()>& identityDiversionKey) const;

  private:
    std::string name_;
    std::int64_t version_ = 0;
    std::string appID_;
    std::string diversionKey_;
    CustomProperties customProperties_;
    std::weak_ptr<KLVESDKPropertyProviderDelegate> delegate_;
};

class KLVEManager;

// One SDK's registration with the experiments manager: reads its flags and activates or drops
// its snapshots through the manager. The methods are virtual so that tests can stand in for it.
class KLVEClient {
  public:
    KLVEClient(KLVESDKProperty property, std::vector<KLVPBFlag> defaultFlags,
               std::weak_ptr<KLVEManager> manager);
    virtual ~KLVEClient() = default;
    KLVEClient(const KLVEClient&) = delete;
    KLVEClient& operator=(const KLVEClient&) = delete;

    // The flag's value (a number or a string) through the manager; null for an empty name
    // (830002) or when no snapshot nor default has it.
    virtual platform::Object valueForFlag(std::string_view flagName) const;
    // The same without the empty-name check.
    virtual platform::Object objectForKeyedSubscript(std::string_view flagName) const;
    // Makes the newest fetched snapshot the active one; false (with an error only for a bad
    // name) when there is none.
    [[nodiscard]] virtual bool activateLatestSnapshot(platform::Error* error);
    // The active snapshot is older than three days.
    virtual bool hasStaleSnapshot() const;
    // Drops the active snapshot; look-ups answer from the launched one or the defaults.
    virtual void resetToDefaults();

    std::string SDKName() const { return property_.name(); }
    std::vector<KLVPBFlag> defaultFlags() const { return defaultFlags_; }
    const KLVESDKProperty& SDKProperty() const { return property_; }
    virtual std::shared_ptr<KLVEClientDelegate> delegate() const;
    virtual void setDelegate(std::weak_ptr<KLVEClientDelegate> delegate);

  protected:
    // For stand-ins that answer on their own.
    KLVEClient() : property_("") {}

  private:
    const KLVESDKProperty property_;
    const std::vector<KLVPBFlag> defaultFlags_;
    const std::weak_ptr<KLVEManager> manager_;
    mutable std::mutex delegateMutex_;
    std::weak_ptr<KLVEClientDelegate> delegate_;
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

    // What a client forwards. The defaults are those of a manager that holds no snapshot.
    virtual platform::Object flagValueForFlagName(std::string_view /*flagName*/,
                                                  std::string_view /*SDKName*/) {
        return {};
    }
    [[nodiscard]] virtual bool activateSnapshotOfSDK(std::string_view /*SDKName*/,
                                                     platform::Error* /*error*/) {
        return false;
    }
    // -1 unknown SDK, -2 no active snapshot, 1 stale, 0 fresh.
    virtual std::int64_t activatedSnapshotStatusOfSDKName(std::string_view /*SDKName*/) {
        return -1;
    }
    virtual void resetToDefaultsOfSDKName(std::string_view /*SDKName*/) {}
};

}  // namespace engine
