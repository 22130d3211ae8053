#pragma once

// Store purchases as the engine's own events: "_iap", "_iapx" (contradicted by the receipt),
// "_assr" (a renewal) and "_assc" (a renewal after a free trial).

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/events/KLVValue.h"
#include "engine/purchases/KLVInAppPurchaseItem.h"
#include "engine/purchases/KLVInAppPurchaseProductCache.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Object.h"
#include "platform/storekit/StoreKit.h"

namespace engine {

class KLVInAppPurchaseTransactionReporter
    : public std::enable_shared_from_this<KLVInAppPurchaseTransactionReporter> {
  public:
    // Logs an internal event (origin, name, parameters); the front door's internal-event entry.
    using EventLogger = std::function<void(const std::string&, const std::string&, KLVParameters)>;
    struct Environment {
        EventLogger logEvent;
        platform::DispatchQueue* queue = nullptr;  // where reports run; the default global queue
        std::shared_ptr<KLVInAppPurchaseProductCache> cache;
        std::function<std::optional<platform::Data>()> readReceipt;  // the store receipt's bytes
        std::function<bool()> isSandboxReceipt;
    };
    // The engine's environment: the shared cache, the default global queue, the receipt at
    // KLVAEU::appStoreRURL().
    static Environment defaultEnvironment(EventLogger logEvent);
    static std::shared_ptr<KLVInAppPurchaseTransactionReporter> create(Environment environment);

    // Purchased transactions that passed the duplicate filter.
    void paymentQueue(const std::vector<platform::SKPaymentTransaction>& transactions);
    // A transaction the app reports field by field, for purchases the payment queue does not see.
    struct Transaction {
        std::string productID{};
        std::string transactionID{};
        std::string originalTransactionID{};
        std::optional<std::uint64_t> webOrderLineItemID{};
        std::int64_t productType = 0;
        bool isFreeTrial = false;
        bool isIntroductoryOffer = false;
        std::int64_t quantity = 0;
        std::optional<double> purchaseDate{};
        std::optional<double> originalPurchaseDate{};
        std::optional<double> expirationDate{};
        std::optional<double> cancellationDate{};
    };
    void reportTransactionWithProductID(Transaction transaction);

    // The duplicate key of a purchased transaction: the MD5 text of its identifier; nullopt
    // (logged) without a usable identifier.
    static std::optional<std::string> transactionFingerprint(
        const platform::SKPaymentTransaction* transaction);
    static std::optional<std::string> ia5StringFromDate(std::optional<double> date);

  private:
    explicit KLVInAppPurchaseTransactionReporter(Environment environment)
        : environment_(std::move(environment)) {}
    void reportTransactionsFromArray(
        const std::vector<platform::SKPaymentTransaction>& transactions);
    void reportTransactionWithProduct(const platform::SKProduct* product, std::int64_t quantity,
                                      std::optional<std::string> transactionID,
                                      std::optional<std::string> originalTransactionID,
                                      std::optional<double> transactionDate,
                                      const std::vector<KLVInAppPurchaseItem>& items);
    // Reads the receipt into allPurchaseItems_ (kept when unreadable). Caller holds mutex_.
    void parsePurchasedItemsFromReceipt();

    Environment environment_;
    std::mutex mutex_;
    std::vector<KLVInAppPurchaseItem> allPurchaseItems_;
};

}  // namespace engine
