#pragma once

// The protocol through which the host's other components (messaging, dynamic links, in-app
// messaging, remote configuration, crash reporting) reach the analytics library: they ask the
// configured app for an instance of TRWAnalyticsInterop and call it from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Object.h"

namespace platform {

// What a component registers to hear about logged events.
class TRWAnalyticsInteropListener {
  public:
    virtual ~TRWAnalyticsInteropListener() = default;
    // On the main queue: the event's name and its parameters (numbers and strings only).
    virtual void messageTriggered(const std::string& name, const Dictionary& parameters) = 0;
};

class TRWAnalyticsInterop {
  public:
    using UserPropertiesCallback = std::function<void(const Dictionary& properties)>;

    virtual ~TRWAnalyticsInterop() = default;

    virtual void logEventWithOrigin(const std::string& origin, const std::string& name,
                                    const Dictionary& parameters) = 0;
    // A null value removes the property.
    virtual void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                           const Object& value) = 0;
    virtual void getUserPropertiesWithCallback(UserPropertiesCallback callback) = 0;
    // Blocks the caller until the engine answers (0 when it does not in time).
    virtual std::int64_t maxUserProperties(const std::string& origin) = 0;
    // A dictionary keyed by the conditional user property's field names.
    virtual void setConditionalUserProperty(const Dictionary& property) = 0;
    virtual void clearConditionalUserProperty(const std::string& userPropertyName,
                                              const std::string& origin,
                                              const std::string& clearEventName,
                                              const Dictionary& clearEventParameters) = 0;
    // One {"name", "value"} dictionary per stored property of the origin whose name begins with
    // the prefix.
    virtual Array conditionalUserProperties(const std::string& origin,
                                            const std::string& propertyNamePrefix) = 0;
    virtual void registerAnalyticsListener(std::shared_ptr<TRWAnalyticsInteropListener> listener,
                                           const std::string& origin) = 0;
    virtual void unregisterAnalyticsListenerWithOrigin(const std::string& origin) = 0;
};

}  // namespace platform
