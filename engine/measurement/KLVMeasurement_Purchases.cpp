// Store purchases in the service: the duplicate filter in front of the purchase reporter, the
// lifetime value inside the event write, the sandbox mark at bundling, and the receipt's
// original-version flag for first open.

#include <utility>
#include <vector>

#include "engine/base/KLVAEU.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVDebugText.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/purchases/KLVInAppPurchaseItem.h"
#include "engine/purchases/KLVLifetimeValueRecorder.h"
#include "engine/purchases/KLVPurchaseFilter.h"
#include "platform/dispatch/SerialQueue.h"

namespace engine {

void KLVMeasurement::filterPurchaseTransactions(
    std::vector<platform::SKPaymentTransaction> transactions,
    std::function<void(std::vector<platform::SKPaymentTransaction>)> callback) {
    if (!callback) return;
    scheduleWeak("KLVMeasurement:4155", [transactions = std::move(transactions),
                                         callback = std::move(callback)](KLVMeasurement& self) {
        std::vector<platform::SKPaymentTransaction> kept;
        if (auto* database = self.database()) {
            kept = KLVFilterPurchaseTransactions(*database, transactions);
        } else {
            // Without a database nothing can be checked; purchases still go on, as they do
            // when the database fails.
            for (const auto& transaction : transactions)
                if (transaction.transactionState == platform::SKPaymentTransaction::Purchased)
                    kept.push_back(transaction);
        }
        // The reporter never runs on the worker queue.
        platform::globalQueue().async(
            [callback, kept = std::move(kept)]() mutable { callback(std::move(kept)); });
    });
}

bool KLVMeasurement::updateLifetimeValueWithEvent(const KLVEvent& event) {
    if (!KLVLifetimeValueRecorder::isPurchaseEvent(event)) return true;
    if (KLVLifetimeValueRecorder::recordLifetimeValueToDatabase(*database(), event)) return true;
    const auto& parameters = event.parameters();
    const auto context = [&parameters](const char* name) {
        const auto it = parameters.find(name);
        return it == parameters.end() ? MonitorContext() : MonitorContext(it->second.value());
    };
    monitor().logWithLevel(kKLVLogErrorMonitored, 23053,
                           "Cannot record lifetime value of event. Name, currency code, "
                           "transaction value",
                           KLVDebugEventName(event.name()), context("currency"), context("value"));
    return false;
}

KLVEvent KLVMeasurement::validatePurchaseEvent(KLVEvent event) {
    if (event.name() != "_iap" || !KLVAEU::isASRS()) return event;
    auto parameters = event.parameters();
    parameters.insert_or_assign("sandbox", KLVValue::initWithInt64(1));
    // The bundling decisions already taken stay with the marked copy.
    KLVEvent marked = event.copyWithParameters(parameters);
    marked.setConversion(event.isConversion());
    marked.setRealtime(event.isRealtime());
    marked.setDebug(event.isDebug());
    return marked;
}

bool KLVMeasurement::isVersionSameAsOriginalVersion() {
    return KLVOriginalApplicationVersionMatches();
}

}  // namespace engine
