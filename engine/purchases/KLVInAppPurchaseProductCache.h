#pragma once

// The store products purchase events need (price, currency, title, introductory price), fetched
// once and kept, and the identifiers the store rejected.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Error.h"
#include "platform/storekit/StoreKit.h"

namespace engine {

using KLVProducts = std::map<std::string, platform::SKProduct>;
using KLVProductsHandler =
    std::function<void(std::optional<KLVProducts>, std::optional<std::set<std::string>>,
                       std::optional<platform::Error>)>;

// One store request that answers once on the chosen queue.
class KLVProductsRequest : public std::enable_shared_from_this<KLVProductsRequest> {
  public:
    // Does nothing without a queue or a handler. A request the store refuses to make answers
    // with engine error 1, "Invalid product identifiers.".
    static void requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                                      platform::DispatchQueue* queue,
                                                      KLVProductsHandler handler);
    static std::shared_ptr<KLVProductsRequest> initWithProductIdentifiers(
        const std::set<std::string>& identifiers);
    void requestWithQueue(platform::DispatchQueue* queue, KLVProductsHandler handler);

  private:
    void answer(std::optional<platform::SKProductsResponse> response,
                std::optional<platform::Error> error);
    void clearInstance();

    std::mutex mutex_;
    std::shared_ptr<platform::SKProductsRequest> productsRequest_;
    KLVProductsHandler completionHandler_;
    platform::DispatchQueue* queue_ = nullptr;
};

class KLVInAppPurchaseProductCache
    : public std::enable_shared_from_this<KLVInAppPurchaseProductCache> {
  public:
    static std::shared_ptr<KLVInAppPurchaseProductCache> sharedInstance();
    // A cache of its own, for tests.
    static std::shared_ptr<KLVInAppPurchaseProductCache> create();

    std::optional<platform::SKProduct> cachedProductForProductIdentifier(
        const std::string& identifier);
    bool isInvalidProductIdentifier(const std::string& identifier);
    // Fetches the products in one request; the cache takes the answer, then the handler gets it
    // unchanged on `queue` (which must not be this cache's own). Nothing without queue or handler.
    void requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                               platform::DispatchQueue* queue,
                                               KLVProductsHandler handler);

  private:
    KLVInAppPurchaseProductCache() = default;
    void take(const std::optional<KLVProducts>& products,
              const std::optional<std::set<std::string>>& invalid);

    std::set<std::string> invalidProductIdentifiers_;
    KLVProducts validProducts_;
    platform::SerialQueue lockQueue_{"com.nexory.zkt.measurement.iap-cache"};
};

}  // namespace engine
