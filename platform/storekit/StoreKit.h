#pragma once

// The store's product and transaction records as the engine reads them. Linux has no store: the
// records are filled by test fixtures, and the real program never sees one.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"

namespace platform {

// A discounted first price of a subscription.
struct SKProductDiscount {
    enum PaymentMode : std::int64_t { PayAsYouGo = 0, PayUpFront = 1, FreeTrial = 2 };
    std::optional<std::string> price;  // decimal text, e.g. "0.99"
    std::int64_t paymentMode = PayAsYouGo;
};

struct SKProduct {
    std::string productIdentifier;
    std::optional<std::string> price;         // decimal text, e.g. "0.99"
    std::optional<std::string> currencyCode;  // of the price locale, when it has one
    std::optional<std::string> localizedTitle;
    std::optional<SKProductDiscount> introductoryPrice;
};

struct SKPaymentTransaction {
    enum State : std::int64_t {
        Purchasing = 0,
        Purchased = 1,
        Failed = 2,
        Restored = 3,
        Deferred = 4
    };
    State transactionState = Purchasing;
    std::optional<std::string> transactionIdentifier;
    std::optional<std::string> originalTransactionIdentifier;
    std::optional<double> transactionDate;  // seconds since 1970, with a fraction
    std::string productIdentifier;
    std::int64_t quantity = 1;
    std::optional<std::int64_t> errorCode;
};

// Whether the system offers the discount record type; the stand-in always does.
bool SKProductDiscountAvailable();

}  // namespace platform

// ---- Product requests -------------------------------------------------------------------------

namespace platform {

struct SKProductsResponse {
    std::vector<SKProduct> products;
    std::vector<std::string> invalidProductIdentifiers;
};

// One question to the store about products. Answers once, on a worker thread, never on the
// caller's.
class SKProductsRequest : public std::enable_shared_from_this<SKProductsRequest> {
  public:
    using Completion = std::function<void(std::optional<SKProductsResponse>, std::optional<Error>)>;
    // Null when the store refuses to make the request.
    static std::shared_ptr<SKProductsRequest> create(std::set<std::string> productIdentifiers);
    void start(Completion completion);

  private:
    explicit SKProductsRequest(std::set<std::string> productIdentifiers)
        : productIdentifiers_(std::move(productIdentifiers)) {}
    std::set<std::string> productIdentifiers_;
};

// What the store answers, set by tests. Without one installed, every product is unknown.
class SKStoreFixture {
  public:
    std::vector<SKProduct> catalogue;
    std::set<std::string> invalidIdentifiers;  // answered invalid even when in the catalogue
    std::optional<Error> error;                // answered instead of products
    bool failCreation = false;
    bool hold = false;  // answers wait for deliver()
    // The system predates the offer fields of StoreKit 2 transactions (17.2).
    bool olderSystem = false;

    // Sends the held answers.
    void deliver();
    // Hands a batch of updated transactions to the default payment queue's observers, on the
    // calling thread, as the store does when purchases change.
    static void pushTransactions(const std::vector<SKPaymentTransaction>& transactions);

    static void install(std::shared_ptr<SKStoreFixture> fixture);
    static std::shared_ptr<SKStoreFixture> current();

  private:
    friend class SKProductsRequest;
    std::mutex mutex_;
    std::vector<std::function<void()>> held_;
};

}  // namespace platform
