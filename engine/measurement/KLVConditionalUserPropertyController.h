#pragma once

// The process-wide service behind conditional user properties. Set, clear and query calls come
// from any thread; all storage work runs on the measurement worker queue, each operation inside
// one database transaction, so a failure leaves the stored records and user properties as they
// were. The measurement service hands it every event it writes: time-outs and expiries are
// noticed then (there is no timer), and waiting properties are triggered by the event's name.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/database/KLVConditionalUserProperty.h"
#include "engine/events/KLVEvent.h"
#include "platform/foundation/Object.h"

namespace engine {

class KLVDatabase;
class KLVMeasurement;

class KLVConditionalUserPropertyController
    : public std::enable_shared_from_this<KLVConditionalUserPropertyController> {
  public:
    static std::shared_ptr<KLVConditionalUserPropertyController> sharedInstance();

    // Real seconds a query waits for the worker queue before it answers nothing; tests shorten
    // it. The answer lives in state shared with the queued block, so a late one is harmless.
    static double queryTimeout();
    static void setQueryTimeout(double seconds);

    // Any thread. Validates a copy named `name` and stamps its creation time; a copy with a
    // value is stored (set), one without removes the stored property. Invalid: nothing queued.
    void setConditionalUserProperty(const KLVConditionalUserProperty* property,
                                    const std::string& name);
    // Any thread. Removes the property; the clear event, when given, is logged once it is gone.
    void clearConditionalUserPropertyWithClearEvent(const KLVEvent* clearEvent,
                                                    const std::string& name);
    // Any thread; inline on the worker queue. `prefix` and `origin` must be null or strings
    // (11003, 11004). Nothing when analytics is disabled (11005), the read fails (11006) or no
    // answer came within queryTimeout().
    std::optional<std::vector<KLVConditionalUserProperty>> conditionalUserPropertiesWithNamePrefix(
        const platform::Object& prefix, const platform::Object& origin);

    // ---- Worker queue only ----------------------------------------------------------------
    void setConditionalUserPropertyOnWorkerQueue(const KLVConditionalUserProperty* property);
    void removeConditionalUserPropertyOnWorkerQueue(const KLVConditionalUserProperty* property);
    // Removes the timed-out and expired properties and triggers those waiting for the event,
    // in one transaction; after the commit the timed-out, then the expired events are written.
    // The triggered events, to be written after the event; nothing when the transaction failed.
    // `service` is the one writing the event (default: the shared one).
    std::optional<std::vector<KLVEvent>> processEventOnWorkerQueue(
        const KLVEvent* event, KLVMeasurement* service = nullptr);
    // The three steps of processEventOnWorkerQueue, inside its transaction on `database`.
    bool removeTimedOutCUPWithTimedOutEvents(KLVDatabase& database,
                                             std::vector<KLVEvent>& timedOutEvents);
    bool removeExpiredCUPWithExpiredEvents(KLVDatabase& database,
                                           std::vector<KLVEvent>& expiredEvents);
    std::optional<std::vector<KLVEvent>> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
        KLVDatabase& database, const std::string& eventName);
};

// The connector's name for the same controller.
using TRWAConditionalUserPropertyController = KLVConditionalUserPropertyController;

}  // namespace engine
