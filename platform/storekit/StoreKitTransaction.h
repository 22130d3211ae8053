#pragma once

// The newer store interface's transaction value, as far as purchase reporting reads it.

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

enum class StoreKitProductType { consumable, nonConsumable, nonRenewable, autoRenewable, other };

struct StoreKitOffer {
    enum class OfferType { introductory, promotional, code, winBack };
    enum class PaymentMode { freeTrial, payAsYouGo, payUpFront };
    OfferType type = OfferType::introductory;
    PaymentMode paymentMode = PaymentMode::payAsYouGo;
};

struct StoreKitTransaction {
    std::uint64_t id = 0;
    std::uint64_t originalID = 0;
    std::optional<std::uint64_t> webOrderLineItemID;
    std::string productID;
    StoreKitProductType productType = StoreKitProductType::consumable;
    std::int64_t purchasedQuantity = 1;
    double purchaseDate = 0;  // seconds since 1970
    double originalPurchaseDate = 0;
    std::optional<double> expirationDate;
    std::optional<double> revocationDate;
    // Only systems of version 17.2 or later know it.
    std::optional<StoreKitOffer> offer;
};

// Whether the system is of version 17.2 or later, where transactions carry their offer. The
// stand-in says yes unless the installed SKStoreFixture says the system is older.
bool StoreKitTransactionOffersAvailable();

}  // namespace platform
