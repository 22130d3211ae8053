#pragma once

// Conveniences for apps written against the store's newer transaction interface and the
// declarative UI: report a transaction value as a purchase, and log a "screen_view" when a view
// appears. Both only translate into one call of the public interface (TRWAnalytics).

#include <cstdint>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/storekit/StoreKitTransaction.h"

namespace engine {

// 0 non-consumable, 1 consumable, 2 non-renewing, 3 auto-renewable; any other type 0.
std::int64_t productTypeCode(platform::StoreKitProductType type);

// One TRWAnalytics::logTransactionWithProductID call. The offer flags are read only on systems
// that carry the offer (17.2 and later); elsewhere both are false.
void reportTransaction(const platform::StoreKitTransaction& transaction);

// Logs a "screen_view" each time the view it modifies appears.
struct LoggedAnalyticsModifier {
    std::string screenName;
    std::string screenClass;
    platform::Dictionary extraParameters;

    // The view's appear action: the extras with "screen_name" and "screen_class" set (they win
    // over extras of the same names), logged as "screen_view".
    void onAppear() const;
};

}  // namespace engine
