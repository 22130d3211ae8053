#pragma once

// Drops store transactions already reported, by their duplicate key. Runs on the measurement
// service's worker queue, which owns the database.

#include <vector>

#include "engine/database/KLVDatabase.h"
#include "platform/storekit/StoreKit.h"

namespace engine {

// The purchased transactions to report, in order: those whose key is new, and those that cannot
// be checked (no key, or the database failed; both logged).
std::vector<platform::SKPaymentTransaction> KLVFilterPurchaseTransactions(
    KLVDatabase& database, const std::vector<platform::SKPaymentTransaction>& transactions);

}  // namespace engine
