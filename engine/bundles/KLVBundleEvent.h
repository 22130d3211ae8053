#pragma once

// One raw event on its way into a bundle. Most stored events reach the bundle as the bytes they
// were stored as: bundling only sets their name and times and may drop their real-time mark, so
// such an event is kept as its stored parameter records (see KLVStoredEvent.h) and never rebuilt.
// Any other event (a conversion, an ad impression, a purchase, bytes that rebuilding would
// change) is rebuilt from its row as a KLVEvent and goes through every step as before. Both give
// the same Event message.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVEvent.h"
#include "engine/events/KLVRawEventData.h"
#include "engine/events/KLVStoredEvent.h"

namespace engine {

class KLVBundleEvent {
  public:
    // The row's event kept as stored; nullopt when it has to be rebuilt (the caller then uses
    // KLVDatabase::rawEventDataFromColumns). The caller rebuilds custom conversions itself.
    static std::optional<KLVBundleEvent> storedEvent(const KLVDatabase::RawEventColumns& columns,
                                                     const KLVStoredEventLimits& limits);
    static KLVBundleEvent rebuiltEvent(KLVRawEventData raw);

    std::int64_t rowID() const { return rowID_; }
    const std::string& name() const { return event_ ? event_->name() : name_; }
    double timestamp() const { return event_ ? event_->timestamp() : timestamp_; }
    // The rebuilt event; null for a stored one.
    KLVEvent* rebuilt() { return event_ ? &*event_ : nullptr; }
    const KLVEvent* rebuilt() const { return event_ ? &*event_ : nullptr; }

    // What the pipeline reads of any event: "_r" holds int64 1; the integer value of a
    // parameter ("_et", "_fr"), and whether the parameter is there at all.
    bool isRealtime() const;
    std::optional<std::int64_t> integerParameter(std::string_view name) const;
    bool hasParameter(std::string_view name) const;

    // A stored event: removes its real-time mark, and sets its previous time.
    void clearStoredRealtime();
    void setStoredPreviousTimestamp(double previousTimestamp);
    // A stored event's parameters as the rebuilt event would hold them.
    KLVParameters storedParameters() const;

    // Dropped by the bundler's rejection step; still seen by the session and engagement step.
    bool isRejected() const { return rejected_; }
    void setRejected() { rejected_ = true; }

    // Appends the Event message, as `protoEvent()` of the rebuilt event encodes it.
    void appendEncodedEvent(std::string& out) const;

  private:
    KLVBundleEvent() = default;

    std::int64_t rowID_ = 0;
    std::optional<KLVEvent> event_;
    // A stored event.
    std::string name_;
    double timestamp_ = 0;
    double previousTimestamp_ = 0;
    std::string parameterRecords_;
    KLVStoredParameter realtime_;
    KLVStoredParameter engagementTime_;
    KLVStoredParameter freeride_;
    bool rejected_ = false;
};

}  // namespace engine
