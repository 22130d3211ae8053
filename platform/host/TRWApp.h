#pragma once

// The host framework's core, as far as the engine relies on it: the app configures the host once
// at launch; libraries registered with the host contribute components and are told when the app
// is configured (the analytics library starts the engine then); components ask the configured
// app for instances of other components' protocols.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/TRWComponent.h"

namespace platform {

// The host's logger tag for analytics lines.
inline constexpr char kTRWLoggerAnalytics[] = "[TarnwellAnalytics]";
// The service property list the default options come from.
inline constexpr char kTRWServiceInfoPlistName[] = "NexoryService-Info";

// The host core's version.
std::string TRWTarnwellVersion();

// What the app is configured with.
struct TRWOptions {
    std::string nexoryAppID;
    bool isAnalyticsCollectionEnabled = true;
    bool isAnalyticsCollectionDeactivated = false;

    // From the main bundle: the app ID under NEXORY_APP_ID of "NexoryService-Info.plist", the
    // collection switches from Info.plist ("TARNWELL_ANALYTICS_COLLECTION_ENABLED", default YES;
    // "TARNWELL_ANALYTICS_COLLECTION_DEACTIVATED", default NO). Nullopt without the property
    // list.
    static std::optional<TRWOptions> defaultOptions();
};

class TRWApp;

// A library that registers with the host (the phone's library class).
class TRWLibrary {
  public:
    virtual ~TRWLibrary() = default;
    // Asked once when the app is configured.
    virtual std::vector<TRWComponent> componentsToRegister() const = 0;
    // Told, in registration order, once the default app is configured.
    virtual void configureWithApp(const TRWApp& /*app*/) {}
};

class TRWApp {
  public:
    // Configures the default app with the default options. A second call, or a bundle without
    // the service property list, is refused with an error line and changes nothing.
    static void configure();
    static void configure(TRWOptions options);
    static bool isDefaultAppConfigured();
    // The configured default app, or null.
    static std::shared_ptr<TRWApp> defaultApp();

    // Registers a library before the app is configured (libraries registered later take no
    // part). `name` and `version` identify it ("tarn-analytics", "11.1.0"); a second registration
    // under a name replaces the first.
    static void registerInternalLibrary(std::shared_ptr<TRWLibrary> library, std::string name,
                                        std::string version);

    const std::string& name() const { return name_; }
    const TRWOptions& options() const { return options_; }

    // A new instance of the component registered for `Protocol`, or null when none is.
    template <typename Protocol>
    std::shared_ptr<Protocol> instanceForProtocol() const {
        return std::static_pointer_cast<Protocol>(instanceForProtocol(typeid(Protocol)));
    }

    TRWApp(std::string name, TRWOptions options, std::vector<TRWComponent> components);

  private:
    std::shared_ptr<void> instanceForProtocol(std::type_index protocol) const;

    std::string name_;
    TRWOptions options_;
    std::vector<TRWComponent> components_;
};

}  // namespace platform
