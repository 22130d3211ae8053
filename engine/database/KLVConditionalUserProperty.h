#pragma once

// A conditional user property: a user property that another component asks the engine to set
// only once a named trigger event is logged within a trigger timeout, and to keep only for a time
// to live after that. The record is stored in "conditional_properties"; copies are plain value
// copies (the events and the value are immutable values themselves).

#include <optional>
#include <string>

#include "engine/events/KLVEvent.h"
#include "engine/events/KLVValue.h"

namespace engine {

class KLVConditionalUserProperty {
  public:
    // Bounds of triggerTimeout and timeToLive, in seconds (inclusive): 1 ms to 180 days.
    static constexpr double kMinimumInterval = 0.001;
    static constexpr double kMaximumInterval = 15552000;

    bool isActive() const { return active_; }
    void setActive(bool active) { active_ = active; }
    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    const std::string& origin() const { return origin_; }
    void setOrigin(std::string origin) { origin_ = std::move(origin); }
    // No value means "remove" on a set call.
    const std::optional<KLVValue>& value() const { return value_; }
    void setValue(std::optional<KLVValue> value) { value_ = std::move(value); }
    // Empty: the property is active as soon as it is set.
    const std::string& triggerEventName() const { return triggerEventName_; }
    void setTriggerEventName(std::string name) { triggerEventName_ = std::move(name); }
    double triggerTimeout() const { return triggerTimeout_; }
    void setTriggerTimeout(double seconds) { triggerTimeout_ = seconds; }
    double timeToLive() const { return timeToLive_; }
    void setTimeToLive(double seconds) { timeToLive_ = seconds; }
    const std::optional<KLVEvent>& triggeredEvent() const { return triggeredEvent_; }
    void setTriggeredEvent(std::optional<KLVEvent> event) { triggeredEvent_ = std::move(event); }
    const std::optional<KLVEvent>& timedOutEvent() const { return timedOutEvent_; }
    void setTimedOutEvent(std::optional<KLVEvent> event) { timedOutEvent_ = std::move(event); }
    // Logged when the time to live runs out, or when the property is cleared.
    const std::optional<KLVEvent>& expiredEvent() const { return expiredEvent_; }
    void setExpiredEvent(std::optional<KLVEvent> event) { expiredEvent_ = std::move(event); }
    // Seconds since 1970.
    double creationTimestamp() const { return creationTimestamp_; }
    void setCreationTimestamp(double seconds) { creationTimestamp_ = seconds; }
    double triggeredTimestamp() const { return triggeredTimestamp_; }
    void setTriggeredTimestamp(double seconds) { triggeredTimestamp_ = seconds; }

  private:
    bool active_ = false;
    std::string name_;
    std::string origin_;
    std::optional<KLVValue> value_;
    std::string triggerEventName_;
    double triggerTimeout_ = 0;
    double timeToLive_ = 0;
    std::optional<KLVEvent> triggeredEvent_;
    std::optional<KLVEvent> timedOutEvent_;
    std::optional<KLVEvent> expiredEvent_;
    double creationTimestamp_ = 0;
    double triggeredTimestamp_ = 0;
};

// The connector's name for the same record.
using TRWAConditionalUserProperty = KLVConditionalUserProperty;

}  // namespace engine
