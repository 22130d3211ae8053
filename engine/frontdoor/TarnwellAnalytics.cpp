#include "engine/frontdoor/TarnwellAnalytics.h"

#include <optional>
#include <string>

#include "engine/frontdoor/TRWAnalytics.h"

namespace engine {

std::int64_t productTypeCode(platform::StoreKitProductType type) {
    using Type = platform::StoreKitProductType;
    switch (type) {
        case Type::nonConsumable:
            return 0;
        case Type::consumable:
            return 1;
        case Type::nonRenewable:
            return 2;
        case Type::autoRenewable:
            return 3;
        case Type::other:
            break;
    }
    return 0;
}

void reportTransaction(const platform::StoreKitTransaction& transaction) {
    bool isFreeTrial = false;
    bool isIntroductoryOffer = false;
    if (platform::StoreKitTransactionOffersAvailable() && transaction.offer) {
        using Offer = platform::StoreKitOffer;
        isFreeTrial = transaction.offer->paymentMode == Offer::PaymentMode::freeTrial;
        isIntroductoryOffer = transaction.offer->type == Offer::OfferType::introductory;
    }
    TRWAnalytics::logTransactionWithProductID(
        transaction.productID, std::to_string(transaction.id),
        std::to_string(transaction.originalID), transaction.webOrderLineItemID,
        productTypeCode(transaction.productType), isFreeTrial, isIntroductoryOffer,
        transaction.purchasedQuantity, transaction.purchaseDate, transaction.originalPurchaseDate,
        transaction.expirationDate, transaction.revocationDate);
}

void LoggedAnalyticsModifier::onAppear() const {
    platform::Dictionary parameters = extraParameters;
    parameters.insert_or_assign("screen_name", screenName);
    parameters.insert_or_assign("screen_class", screenClass);
    TRWAnalytics::logEventWithName("screen_view", parameters);
}

}  // namespace engine
