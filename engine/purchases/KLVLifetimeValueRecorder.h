#pragma once

// The running total a user has spent, per currency, kept as automatic user properties "_ltv_"
// + currency code in millionths of the unit. Runs inside the event write's transaction.

#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVEvent.h"

namespace engine {

class KLVLifetimeValueRecorder {
  public:
    static bool isPurchaseEvent(const KLVEvent& event);
    static bool isEcommercePurchaseEvent(const KLVEvent& event);
    // True when nothing had to be written or the write succeeded; false (logged) when the amount
    // or the new total is out of range or the database failed.
    static bool recordLifetimeValueToDatabase(KLVDatabase& database, const KLVEvent& event);
};

}  // namespace engine
