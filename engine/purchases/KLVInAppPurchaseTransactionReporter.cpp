#include "engine/purchases/KLVInAppPurchaseTransactionReporter.h"

#include <cmath>
#include <ctime>
#include <set>

#include "engine/base/KLVAEU.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/base/KLVStringAdditions.h"
#include "engine/purchases/KLVPurchaseParameters.h"
#include "platform/foundation/FileSystem.h"

namespace engine {
namespace {

bool takeOne(KLVParameters& parameters, std::string_view name) {
    const auto it = parameters.find(name);
    if (it == parameters.end() || !it->second.isInt64() || it->second.int64Value() != 1)
        return false;
    parameters.erase(it);
    return true;
}

void logProductFailure(const std::optional<platform::Error>& error) {
    monitor().logWithLevel(kKLVLogErrorMonitored, 21027,
                           "Cannot request product information. Error",
                           error ? MonitorContext(*error) : MonitorContext());
}

}  // namespace

KLVInAppPurchaseTransactionReporter::Environment
KLVInAppPurchaseTransactionReporter::defaultEnvironment(EventLogger logEvent) {
    Environment environment;
    environment.logEvent = std::move(logEvent);
    environment.queue = &platform::globalQueue();
    environment.cache = KLVInAppPurchaseProductCache::sharedInstance();
    environment.readReceipt = []() -> std::optional<platform::Data> {
        const auto url = KLVAEU::appStoreRURL();
        if (!url) return std::nullopt;
        return platform::readFile(*url);
    };
    environment.isSandboxReceipt = [] { return KLVAEU::isASRS(); };
    return environment;
}

std::shared_ptr<KLVInAppPurchaseTransactionReporter> KLVInAppPurchaseTransactionReporter::create(
    Environment environment) {
    return std::shared_ptr<KLVInAppPurchaseTransactionReporter>(
        new KLVInAppPurchaseTransactionReporter(std::move(environment)));
}

void KLVInAppPurchaseTransactionReporter::parsePurchasedItemsFromReceipt() {
    const auto receipt = environment_.readReceipt ? environment_.readReceipt() : std::nullopt;
    if (!receipt || receipt->empty()) return;
    allPurchaseItems_ =
        parseReceiptPurchaseItems(*receipt).value_or(std::vector<KLVInAppPurchaseItem>{});
    monitor().logWithLevel(kKLVLogDebug, 21028, "Parsed purchase items from receipt");
}

void KLVInAppPurchaseTransactionReporter::paymentQueue(
    const std::vector<platform::SKPaymentTransaction>& transactions) {
    std::vector<platform::SKPaymentTransaction> taken;
    std::set<std::string> unknown;
    for (const auto& transaction : transactions) {
        if (transaction.transactionState != platform::SKPaymentTransaction::Purchased ||
            transaction.productIdentifier.empty())
            continue;
        taken.push_back(transaction);
        if (!environment_.cache->cachedProductForProductIdentifier(transaction.productIdentifier))
            unknown.insert(transaction.productIdentifier);
    }
    if (taken.empty()) return;
    std::weak_ptr<KLVInAppPurchaseTransactionReporter> weak = weak_from_this();
    if (unknown.empty()) {
        environment_.queue->async([weak, taken] {
            if (auto self = weak.lock()) self->reportTransactionsFromArray(taken);
        });
        return;
    }
    environment_.cache->requestProductsWithProductIdentifiers(
        unknown, environment_.queue, [weak, taken](auto products, auto, auto error) {
            if (error && (!products || products->empty())) {
                logProductFailure(error);
                return;
            }
            if (auto self = weak.lock()) self->reportTransactionsFromArray(taken);
        });
}

void KLVInAppPurchaseTransactionReporter::reportTransactionsFromArray(
    const std::vector<platform::SKPaymentTransaction>& transactions) {
    // Each batch reports with the items it read; a batch running beside it cannot clear them
    // halfway.
    std::vector<KLVInAppPurchaseItem> items;
    {
        std::lock_guard lock(mutex_);
        parsePurchasedItemsFromReceipt();
        items = allPurchaseItems_;
        allPurchaseItems_.clear();
    }
    for (const auto& transaction : transactions) {
        const auto product =
            environment_.cache->cachedProductForProductIdentifier(transaction.productIdentifier);
        reportTransactionWithProduct(
            product ? &*product : nullptr, transaction.quantity, transaction.transactionIdentifier,
            transaction.originalTransactionIdentifier, transaction.transactionDate, items);
    }
}

void KLVInAppPurchaseTransactionReporter::reportTransactionWithProductID(Transaction transaction) {
    std::vector<KLVInAppPurchaseItem> items;
    {
        std::lock_guard lock(mutex_);
        parsePurchasedItemsFromReceipt();
        const bool listed = std::any_of(allPurchaseItems_.begin(), allPurchaseItems_.end(),
                                        [&](const KLVInAppPurchaseItem& item) {
                                            return item.transactionID == transaction.transactionID;
                                        });
        if (!listed) {
            KLVInAppPurchaseItem item;
            item.freeTrial = transaction.isFreeTrial;
            item.introductoryOffer = transaction.isIntroductoryOffer;
            item.productID = transaction.productID;
            item.transactionID = transaction.transactionID;
            item.originalTransactionID = transaction.originalTransactionID;
            item.webOrderLineItemID = transaction.webOrderLineItemID;
            item.purchaseType = transaction.productType;
            item.purchaseDateIA5String = ia5StringFromDate(transaction.purchaseDate);
            item.originalPurchaseDateIA5String =
                ia5StringFromDate(transaction.originalPurchaseDate);
            item.subscriptionExpirationDateIA5String =
                ia5StringFromDate(transaction.expirationDate);
            item.cancellationDateIA5String = ia5StringFromDate(transaction.cancellationDate);
            allPurchaseItems_.insert(allPurchaseItems_.begin(), std::move(item));
        }
        items = allPurchaseItems_;
    }
    const std::optional<double> date =
        transaction.purchaseDate ? std::optional<double>(std::floor(*transaction.purchaseDate))
                                 : std::nullopt;
    std::weak_ptr<KLVInAppPurchaseTransactionReporter> weak = weak_from_this();
    auto report = [weak, quantity = transaction.quantity, transactionID = transaction.transactionID,
                   originalTransactionID = transaction.originalTransactionID, date,
                   items](const platform::SKProduct& product) {
        if (auto self = weak.lock())
            self->reportTransactionWithProduct(&product, quantity, transactionID,
                                               originalTransactionID, date, items);
    };
    if (auto product =
            environment_.cache->cachedProductForProductIdentifier(transaction.productID)) {
        environment_.queue->async([report, product = *product] { report(product); });
        return;
    }
    environment_.cache->requestProductsWithProductIdentifiers(
        {transaction.productID}, environment_.queue, [report](auto products, auto, auto error) {
            if (!products || products->empty()) {
                logProductFailure(error);
                return;
            }
            report(products->begin()->second);
        });
}

void KLVInAppPurchaseTransactionReporter::reportTransactionWithProduct(
    const platform::SKProduct* product, std::int64_t quantity,
    std::optional<std::string> transactionID, std::optional<std::string> originalTransactionID,
    std::optional<double> transactionDate, const std::vector<KLVInAppPurchaseItem>& items) {
    auto parameters =
        purchaseEventParameters(product, quantity, std::move(transactionID),
                                std::move(originalTransactionID), transactionDate, items);
    if (!parameters || parameters->empty()) return;
    std::string name = "_iap";
    if (takeOne(*parameters, "invalid")) {
        name = "_iapx";
        if (environment_.isSandboxReceipt && environment_.isSandboxReceipt())
            parameters->insert_or_assign("sandbox", KLVValue::initWithInt64(1));
    }
    if (takeOne(*parameters, "sub_renew")) name = "_assr";
    if (takeOne(*parameters, "sub_convert")) name = "_assc";
    if (environment_.logEvent) environment_.logEvent("auto", name, std::move(*parameters));
}

std::optional<std::string> KLVInAppPurchaseTransactionReporter::transactionFingerprint(
    const platform::SKPaymentTransaction* transaction) {
    auto& monitor = engine::monitor();
    if (!transaction) {
        monitor.logWithLevel(kKLVLogErrorSilent, 21014, "Transaction is nil");
        return std::nullopt;
    }
    if (transaction->transactionState != platform::SKPaymentTransaction::Purchased)
        return std::nullopt;
    const MonitorContext code =
        transaction->errorCode ? MonitorContext(*transaction->errorCode) : MonitorContext();
    const auto& identifier = transaction->transactionIdentifier;
    if (!identifier) {
        monitor.logWithLevel(kKLVLogErrorSilent, 21015, "Transaction identifier is nil. Code",
                             code);
        return std::nullopt;
    }
    if (identifier->empty()) {
        monitor.logWithLevel(kKLVLogErrorSilent, 21016, "Transaction identifier is empty. Code",
                             code);
        return std::nullopt;
    }
    if (identifier->find_first_not_of("0-") == std::string::npos) {
        monitor.logWithLevel(kKLVLogErrorSilent, 21017,
                             "Transaction identifier is only zeroes. Code", code);
        return std::nullopt;
    }
    return klv_MD5String(*identifier);
}

std::optional<std::string> KLVInAppPurchaseTransactionReporter::ia5StringFromDate(
    std::optional<double> date) {
    if (!date || !std::isfinite(*date)) return std::nullopt;
    const auto seconds = static_cast<std::time_t>(std::floor(*date));
    std::tm tm{};
    if (!gmtime_r(&seconds, &tm)) return std::nullopt;
    char buffer[32];
    if (std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) return std::nullopt;
    return std::string(buffer);
}

}  // namespace engine
