#include "engine/purchases/KLVInAppPurchaseProductCache.h"

#include "engine/base/KLVErrors.h"

namespace engine {
namespace {

// Both collections together stay below this unless one answer alone brings more.
constexpr std::size_t kCacheLimit = 101;

}  // namespace

void KLVProductsRequest::requestProductsWithProductIdentifiers(
    const std::set<std::string>& identifiers, platform::DispatchQueue* queue,
    KLVProductsHandler handler) {
    if (!queue || !handler) return;
    auto request = initWithProductIdentifiers(identifiers);
    if (!request) {
        queue->async([handler = std::move(handler)] {
            handler(std::nullopt, std::nullopt,
                    klv_errorWithCode(1, "Invalid product identifiers."));
        });
        return;
    }
    request->requestWithQueue(queue, std::move(handler));
}

std::shared_ptr<KLVProductsRequest> KLVProductsRequest::initWithProductIdentifiers(
    const std::set<std::string>& identifiers) {
    auto productsRequest = platform::SKProductsRequest::create(identifiers);
    if (!productsRequest) return nullptr;
    auto request = std::make_shared<KLVProductsRequest>();
    request->productsRequest_ = std::move(productsRequest);
    return request;
}

void KLVProductsRequest::requestWithQueue(platform::DispatchQueue* queue,
                                          KLVProductsHandler handler) {
    if (!queue || !handler) return;
    std::shared_ptr<platform::SKProductsRequest> productsRequest;
    {
        std::lock_guard lock(mutex_);
        completionHandler_ = std::move(handler);
        queue_ = queue;
        productsRequest = productsRequest_;
    }
    if (!productsRequest) return;
    // The store holds this request until it answers.
    productsRequest->start([self = shared_from_this()](auto response, auto error) {
        self->answer(std::move(response), std::move(error));
    });
}

void KLVProductsRequest::answer(std::optional<platform::SKProductsResponse> response,
                                std::optional<platform::Error> error) {
    KLVProductsHandler handler;
    platform::DispatchQueue* queue = nullptr;
    {
        std::lock_guard lock(mutex_);
        handler = completionHandler_;
        queue = queue_;
    }
    if (!handler || !queue) return;
    std::optional<KLVProducts> products;
    std::optional<std::set<std::string>> invalid;
    if (response) {
        products.emplace();
        for (auto& product : response->products)
            if (!product.productIdentifier.empty())
                products->insert_or_assign(product.productIdentifier, product);
        invalid.emplace(response->invalidProductIdentifiers.begin(),
                        response->invalidProductIdentifiers.end());
    } else {
        error = error.value_or(klv_errorWithCode(1, "Invalid product identifiers."));
    }
    std::weak_ptr<KLVProductsRequest> weak = weak_from_this();
    queue->async([weak, handler = std::move(handler), products = std::move(products),
                  invalid = std::move(invalid), error = std::move(error)] {
        handler(products, invalid, error);
        if (auto self = weak.lock()) self->clearInstance();
    });
}

void KLVProductsRequest::clearInstance() {
    std::lock_guard lock(mutex_);
    productsRequest_.reset();
    completionHandler_ = nullptr;
    queue_ = nullptr;
}

std::shared_ptr<KLVInAppPurchaseProductCache> KLVInAppPurchaseProductCache::sharedInstance() {
    static const auto instance = create();
    return instance;
}

std::shared_ptr<KLVInAppPurchaseProductCache> KLVInAppPurchaseProductCache::create() {
    return std::shared_ptr<KLVInAppPurchaseProductCache>(new KLVInAppPurchaseProductCache());
}

std::optional<platform::SKProduct> KLVInAppPurchaseProductCache::cachedProductForProductIdentifier(
    const std::string& identifier) {
    return lockQueue_.syncResult([&]() -> std::optional<platform::SKProduct> {
        const auto it = validProducts_.find(identifier);
        if (it == validProducts_.end()) return std::nullopt;
        return it->second;
    });
}

bool KLVInAppPurchaseProductCache::isInvalidProductIdentifier(const std::string& identifier) {
    return lockQueue_.syncResult([&] { return invalidProductIdentifiers_.contains(identifier); });
}

void KLVInAppPurchaseProductCache::take(const std::optional<KLVProducts>& products,
                                        const std::optional<std::set<std::string>>& invalid) {
    const KLVProducts returned = products.value_or(KLVProducts{});
    const std::set<std::string> rejected = invalid.value_or(std::set<std::string>{});
    for (const auto& [identifier, product] : returned)
        validProducts_.insert_or_assign(identifier, product);
    for (const auto& identifier : rejected) {
        validProducts_.erase(identifier);
        invalidProductIdentifiers_.insert(identifier);
    }
    for (const auto& entry : returned)
        invalidProductIdentifiers_.erase(entry.first);
    if (validProducts_.size() + invalidProductIdentifiers_.size() >= kCacheLimit) {
        validProducts_ = returned;
        invalidProductIdentifiers_ = rejected;
    }
}

void KLVInAppPurchaseProductCache::requestProductsWithProductIdentifiers(
    const std::set<std::string>& identifiers, platform::DispatchQueue* queue,
    KLVProductsHandler handler) {
    if (!queue || !handler) return;
    std::weak_ptr<KLVInAppPurchaseProductCache> weak = weak_from_this();
    KLVProductsRequest::requestProductsWithProductIdentifiers(
        identifiers, &lockQueue_,
        [weak, queue, handler = std::move(handler)](auto products, auto invalid, auto error) {
            const auto self = weak.lock();
            if (!self) return;
            self->take(products, invalid);
            queue->async(
                [handler, products, invalid, error] { handler(products, invalid, error); });
        });
}

}  // namespace engine
