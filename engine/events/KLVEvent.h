#pragma once

// One event on its way through the engine: created by the front door or by the engine's own
// reporters, validated and sanitised on creation, possibly edited by the rule runtime, written to
// the database as an Event message and rebuilt from it.
//
// Flags (conversion, real-time, debug), the origin and the screen travel as internal parameters
// ("_c", "_r", "_dbg", "_o", "_si"/"_sc"/"_sn"), so every copy and the message form keep them.
// An event is used by one queue at a time; it takes no lock.
//
// The event lives in the storage layer because the database rebuilds events from its rows.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "engine/events/KLVValue.h"
#include "engine/messages/KLVPBMessages.h"
#include "engine/settings/KLVPEvent.h"
#include "platform/foundation/Object.h"

namespace engine {

class KLVEvent {
  public:
    // The one creation path. Refused (nullopt, logged by the validator) when the origin is
    // neither a forwarded origin ("<name>+lqx") nor an internal name of up to 32, or when the name
    // fails the public event-name rule (with `isPublic`) or the internal one. Parameters are
    // sanitised under the public or internal rules, and "_o" is set to the origin.
    static std::optional<KLVEvent> initWithOrigin(std::string origin, bool isPublic,
                                                  std::string name, double timestamp,
                                                  double previousTimestamp,
                                                  const platform::Dictionary& parameters);
    static std::optional<KLVEvent> initWithOrigin(std::string origin, bool isPublic,
                                                  std::string name, double timestamp,
                                                  double previousTimestamp,
                                                  const KLVParameters& parameters);

    // Copies go through creation again with the internal rules, so their parameters are
    // sanitised anew; a copy of an event is never refused.
    KLVEvent copyWithZone() const;
    KLVEvent copyWithPreviousTimestamp(double previousTimestamp) const;
    KLVEvent copyWithParameters(const KLVParameters& parameters) const;

    // A conversion, or an ad impression ("ad_impression", "_ai"): "value" needs a currency.
    bool shouldValidateParams() const;

    // "_c" holds int64 1.
    bool isConversion() const;
    // true: set only when "value" and "currency" pass (an "_err" 10 is then cleared); false:
    // removes "_c" and records "_err" 10 (conversion limit reached) unless an "_err" exists.
    void setConversion(bool conversion);
    // "_r" holds int64 1 (another kind is logged, 16006, and answers false).
    bool isRealtime() const;
    void setRealtime(bool realtime);
    // "_dbg" holds int64 1.
    bool isDebug() const;
    void setDebug(bool debug);

    // Merges default parameters, sanitised as public parameters of no event, under the event's
    // own: the event's value wins for a name in both.
    void applyParameters(const platform::Dictionary& parameters);
    // Adds "_si" and, when valid, "_sc" and "_sn" once: true when it added them.
    bool addScreenParameters(const platform::Dictionary& parameters);

    // The rule runtime's form: the public name where one is known, the parameters as objects
    // (arrays inside items left out).
    KLVPEvent editEvent() const;
    // An event from the rule runtime's form: a public name known to the engine becomes its
    // internal name, the origin comes from "_o" (else "app"), the previous time is 0.
    static std::optional<KLVEvent> eventFromEditEvent(const KLVPEvent& editEvent);

    // The Event message: name, times in milliseconds (the previous one only when set), and one
    // parameter message per parameter, arrays as nameless item messages.
    KLVPBEvent protoEvent() const;
    // An event from its message form. Array parameters are not restored (logged, 15002); a
    // message without a string "_o" parameter gives nullopt.
    static std::optional<KLVEvent> initWithEventProto(const KLVPBEvent& eventProto);

    const std::string& origin() const { return origin_; }
    const std::string& name() const { return name_; }
    double timestamp() const { return timestamp_; }
    // 0 when unknown.
    double previousTimestamp() const { return previousTimestamp_; }
    const KLVParameters& parameters() const { return parameters_; }

  private:
    KLVEvent(std::string origin, std::string name, double timestamp, double previousTimestamp);

    // Creation after the origin and name checks.
    template <typename Map>
    static KLVEvent makeEvent(std::string origin, bool isPublic, std::string name, double timestamp,
                              double previousTimestamp, const Map& parameters);
    template <typename Map>
    static std::optional<KLVEvent> create(std::string origin, bool isPublic, std::string name,
                                          double timestamp, double previousTimestamp,
                                          const Map& parameters);

    bool hasInt64One(std::string_view name) const;
    void setInt64Flag(std::string_view name, bool on);

    std::string origin_;
    std::string name_;
    double timestamp_;
    double previousTimestamp_;
    KLVParameters parameters_;
};

// For failure messages: KLVEvent{origin: "app", name: "_f", timestamp: ..., previousTimestamp:
// ..., parameters: {"_o": "app", ...}}.
void PrintTo(const KLVEvent& event, std::ostream* os);

// Logs (16002) a previous time after the time, as making an event with them does.
void KLVCheckPreviousTimestamp(double previousTimestamp, double timestamp);

// The name is "_err" (an empty name is logged, 18004, and answers false).
bool KLVIsErrorEvent(const KLVEvent& event);
// "_assc" or "_assr", or "_iap" whose "subscription" holds int64 1.
bool KLVIsSubscriptionEvent(const KLVEvent& event);
// The element count of all array parameters together; 0 for no event. The pipeline counts an
// event as 1 plus this.
std::int64_t KLVArrayItemCount(const KLVEvent* event);

}  // namespace engine
