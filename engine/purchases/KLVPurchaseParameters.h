#pragma once

// The parameters of a purchase event, from the store's product, the transaction and the
// receipt's purchase records.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/KLVNumericUtil.h"
#include "engine/events/KLVValue.h"
#include "engine/purchases/KLVInAppPurchaseItem.h"
#include "platform/storekit/StoreKit.h"

namespace engine {

// quantity x price in millionths of the currency unit, computed exactly and cut toward zero;
// nullopt when the result leaves int64.
std::optional<std::int64_t> KLVPurchaseValueMicros(const KLVDecimalNumber& price,
                                                   std::int64_t quantity);

// -1 when either ID is empty; else the low 64 bits of the MD5 of original ID + line item ID +
// product ID.
std::int64_t KLVPurchaseDeduplicationID(const std::optional<std::string>& originalTransactionID,
                                        std::optional<std::uint64_t> webOrderLineItemID,
                                        const std::optional<std::string>& productID);

// Adds "sub_convert" (the previous record was a free trial) or "sub_renew" to a renewal's
// parameters.
void KLVAddSubscriptionRenewalFlag(KLVParameters& parameters,
                                   const std::vector<KLVInAppPurchaseItem>& matches,
                                   const KLVInAppPurchaseItem* record);

// The event's parameters, or nullopt (logged) when no event should be logged.
std::optional<KLVParameters> purchaseEventParameters(
    const platform::SKProduct* product, std::int64_t quantity,
    std::optional<std::string> transactionID, std::optional<std::string> originalTransactionID,
    std::optional<double> transactionDate, const std::vector<KLVInAppPurchaseItem>& items);

}  // namespace engine
