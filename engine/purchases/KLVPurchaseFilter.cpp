#include "engine/purchases/KLVPurchaseFilter.h"

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/purchases/KLVInAppPurchaseTransactionReporter.h"

namespace engine {

std::vector<platform::SKPaymentTransaction> KLVFilterPurchaseTransactions(
    KLVDatabase& database, const std::vector<platform::SKPaymentTransaction>& transactions) {
    auto& monitor = engine::monitor();
    std::vector<platform::SKPaymentTransaction> kept;
    for (const auto& transaction : transactions) {
        if (transaction.transactionState != platform::SKPaymentTransaction::Purchased) continue;
        const auto fingerprint =
            KLVInAppPurchaseTransactionReporter::transactionFingerprint(&transaction);
        if (!fingerprint || fingerprint->empty()) {
            monitor.logWithLevel(kKLVLogErrorSilent, 23139,
                                 "Purchase has nil or empty fingerprint. Purchase will not be "
                                 "checked for duplicates. Product ID",
                                 transaction.productIdentifier);
            kept.push_back(transaction);
            continue;
        }
        platform::Error error;
        const auto isNew = database.insertIfNotDuplicatePurchaseFingerprint(*fingerprint, &error);
        if (!isNew) {
            monitor.logWithLevel(kKLVLogErrorMonitored, 23140,
                                 "Failed to save purchase fingerprint. Purchase will not be "
                                 "checked for duplicates. Product ID, error",
                                 transaction.productIdentifier, error);
            kept.push_back(transaction);
        } else if (*isNew) {
            kept.push_back(transaction);
        } else {
            monitor.logWithLevel(kKLVLogWarningMonitored, 23141,
                                 "Purchase is a duplicate and will not be reported. Product ID",
                                 transaction.productIdentifier);
        }
    }
    return kept;
}

}  // namespace engine
