#pragma once

// What the host's other components get when they ask the configured app for
// platform::TRWAnalyticsInterop: logging, user properties, conditional user properties and event
// listeners, each checked against TRWConnectorUtils. It reaches the engine only through
// TRWAnalytics and the conditional-user-property controller.
//
// Listeners hear about logged events on the main queue: events of their own origin, and app
// events. The parameters are worked out on the connector queue, shared by all connectors.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine/events/KLVEvent.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/host/TRWAnalyticsInterop.h"
#include "platform/host/TRWComponent.h"

namespace engine {

class TRWAnalyticsConnector : public platform::TRWAnalyticsInterop,
                              public std::enable_shared_from_this<TRWAnalyticsConnector> {
  public:
    using Listener = platform::TRWAnalyticsInteropListener;

    // The component the analytics library registers with the host for TRWAnalyticsInterop.
    static platform::TRWComponent component();
    // "com.nexory.analytics_connector.queue", made once for the process.
    static platform::DispatchQueue& connectorQueue();
    // Real seconds maxUserProperties() waits for its answer; tests shorten it.
    static double maxUserPropertiesTimeout();
    static void setMaxUserPropertiesTimeout(double seconds);

    TRWAnalyticsConnector() = default;
    ~TRWAnalyticsConnector() override;
    TRWAnalyticsConnector(const TRWAnalyticsConnector&) = delete;
    TRWAnalyticsConnector& operator=(const TRWAnalyticsConnector&) = delete;

    void logEventWithOrigin(const std::string& origin, const std::string& name,
                            const platform::Dictionary& parameters) override;
    void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                   const platform::Object& value) override;
    // The callback runs on the connector queue with the names a component may see.
    void getUserPropertiesWithCallback(UserPropertiesCallback callback) override;
    // 0 when no answer came in time, and at once on the connector queue (where the answer
    // would arrive).
    std::int64_t maxUserProperties(const std::string& origin) override;
    // Takes the twelve field names of a conditional user property; a key of another name or a
    // value of the wrong kind is logged (25056) and ignored.
    void setConditionalUserProperty(const platform::Dictionary& property) override;
    // Clears `userPropertyName`; with a clear-event name, that event (with all the parameters)
    // is logged once it is gone.
    void clearConditionalUserProperty(const std::string& userPropertyName,
                                      const std::string& origin, const std::string& clearEventName,
                                      const platform::Dictionary& clearEventParameters) override;
    platform::Array conditionalUserProperties(const std::string& origin,
                                              const std::string& propertyNamePrefix) override;
    void registerAnalyticsListener(std::shared_ptr<Listener> listener,
                                   const std::string& origin) override;
    void unregisterAnalyticsListenerWithOrigin(const std::string& origin) override;

    // Numbers and strings as they are; arrays left out.
    static platform::Dictionary simplifiedParametersFromEventParameters(
        const KLVParameters& parameters);
    // From "origin", "name", "parameters" and "timestamp" (default: now); not public.
    static std::optional<KLVEvent> eventFromDictionary(const platform::Dictionary& dictionary);
    static std::optional<KLVEvent> eventWithOrigin(const std::string& origin,
                                                   const std::string& eventName,
                                                   const platform::Dictionary& params);

  private:
    // On the front door's serial queue for every logged event.
    void handleLoggedEvent(const KLVEvent& event);
    // On the main queue.
    void notifyListeners(const std::string& origin, const std::string& name,
                         const platform::Dictionary& parameters);

    // Written by callers, read on the main queue and the front door's serial queue.
    std::mutex mutex_;
    std::optional<std::uint64_t> logEventListener_;
    std::optional<std::map<std::string, std::shared_ptr<Listener>>> listeners_;
};

}  // namespace engine
