// The front door's share of purchase reporting: it observes the store's payment queue, lets the
// service drop the transactions it has seen, and hands the rest, and the public transaction
// call, to the shared purchase reporter.

#include <utility>

#include "engine/frontdoor/FrontDoorState.h"
#include "engine/frontdoor/KLVAnalytics.h"

namespace engine {

KLVAnalytics::~KLVAnalytics() {
    platform::SKPaymentQueue::defaultQueue().removeTransactionObserver(this);
}

std::shared_ptr<KLVInAppPurchaseTransactionReporter> KLVAnalytics::purchaseReporter() {
    auto& state = frontDoor();
    std::call_once(state.purchaseReporterOnce, [&state] {
        state.purchaseReporter = KLVInAppPurchaseTransactionReporter::create(
            KLVInAppPurchaseTransactionReporter::defaultEnvironment(
                [](const std::string& origin, const std::string& name, KLVParameters parameters) {
                    platform::Dictionary dictionary;
                    for (auto& [key, value] : parameters)
                        dictionary.insert_or_assign(key, value.value());
                    logInternalEventWithOrigin(origin, name, dictionary);
                }));
    });
    return state.purchaseReporter;
}

void KLVAnalytics::paymentQueue(platform::SKPaymentQueue&,
                                const std::vector<platform::SKPaymentTransaction>& transactions) {
    paymentQueueUpdatedTransactions(transactions);
}

void KLVAnalytics::paymentQueueUpdatedTransactions(
    const std::vector<platform::SKPaymentTransaction>& transactions) {
    queueOperationWithBlock([transactions] {
        if (!frontDoor().enabled.load()) return;
        const auto service = KLVMeasurementService::sharedInstance();
        if (!service) return;
        service->filterPurchaseTransactions(
            transactions,
            [reporter = purchaseReporter()](auto kept) { reporter->paymentQueue(kept); });
    });
}

void KLVAnalytics::logTransactionWithProductID(
    std::string productID, std::string transactionID, std::string originalTransactionID,
    std::optional<std::uint64_t> webOrderLineItemID, std::int64_t productType, bool isFreeTrial,
    bool isIntroductoryOffer, std::int64_t paymentQuantity, std::optional<double> purchaseDate,
    std::optional<double> originalPurchaseDate, std::optional<double> subscriptionExpirationDate,
    std::optional<double> cancellationDate) {
    purchaseReporter()->reportTransactionWithProductID({
        .productID = std::move(productID),
        .transactionID = std::move(transactionID),
        .originalTransactionID = std::move(originalTransactionID),
        .webOrderLineItemID = webOrderLineItemID,
        .productType = productType,
        .isFreeTrial = isFreeTrial,
        .isIntroductoryOffer = isIntroductoryOffer,
        .quantity = paymentQuantity,
        .purchaseDate = purchaseDate,
        .originalPurchaseDate = originalPurchaseDate,
        .expirationDate = subscriptionExpirationDate,
        .cancellationDate = cancellationDate,
    });
}

}  // namespace engine
