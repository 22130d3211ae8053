#pragma once

// The store's product and transaction records as the engine reads them. Linux has no store: the
// records are filled by test fixtures, and the real program never sees one.

#include <cstdint>
#include <optional>
#include <string>

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
