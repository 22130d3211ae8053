#pragma once

// The process-wide service behind conditional user properties. Set, clear and query calls come
// from any thread; all storage work runs on the measurement worker queue, each operation inside
// one database transaction, so a failure leaves the stored records and user properties as they
// were. The measurement service hands it every event it writes: time-outs and expiries are
// noticed then (there is no timer), and waiting properties are triggered by the event's name.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/database/KLVConditionalUserProperty.h"
#include "engine/events/KLVEvent.h"
#include "platform/foundation/Object.h"

namespace engine {

class KLVDatabase;
class KLVScheduler;

// The measurement service as the controller uses it.
class KLVConditionalUserPropertyService {
  public:
    // Collection currently enabled.
    virtual bool isEnabled() const = 0;
    // Null until the service has opened its database.
    virtual KLVDatabase* database() const = 0;
    virtual const std::shared_ptr<KLVScheduler>& scheduler() const = 0;
    // Worker queue: an event with its own processing, and one already past the filters.
    virtual void writeEventOnWorkerQueue(const KLVEvent& event) = 0;
    virtual void writeFilteredEventOnWorkerQueue(KLVEvent event) = 0;

  protected:
    ~KLVConditionalUserPropertyService() = default;
};

class KLVConditionalUserPropertyController
    : public std::enable_shared_from_this<KLVConditionalUserPropertyController> {
  public:
    // The service of the moment, or null when there is none.
    using ServiceLookup = std::function<std::shared_ptr<KLVConditionalUserPropertyService>()>;

    explicit KLVConditionalUserPropertyController(ServiceLookup currentService);

    // The process's controller, over the shared measurement service.
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
    // `service` is the one writing the event (default: the current one).
    std::optional<std::vector<KLVEvent>> processEventOnWorkerQueue(
        const KLVEvent* event, KLVConditionalUserPropertyService* service = nullptr);
    // The three steps of processEventOnWorkerQueue, inside its transaction on `database`.
    bool removeTimedOutCUPWithTimedOutEvents(KLVDatabase& database,
                                             std::vector<KLVEvent>& timedOutEvents);
    bool removeExpiredCUPWithExpiredEvents(KLVDatabase& database,
                                           std::vector<KLVEvent>& expiredEvents);
    std::optional<std::vector<KLVEvent>> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
        KLVDatabase& database, const std::string& eventName);

  private:
    const ServiceLookup currentService_;
};

// The connector's name for the same controller.
using TRWAConditionalUserPropertyController = KLVConditionalUserPropertyController;

}  // namespace engine
