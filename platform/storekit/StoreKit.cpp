#include "platform/storekit/StoreKit.h"

#include "platform/dispatch/SerialQueue.h"
#include "platform/storekit/StoreKitTransaction.h"

namespace platform {
namespace {

std::mutex gFixtureMutex;
std::shared_ptr<SKStoreFixture> gFixture;

}  // namespace

bool SKProductDiscountAvailable() {
    return true;
}

void SKStoreFixture::install(std::shared_ptr<SKStoreFixture> fixture) {
    std::lock_guard lock(gFixtureMutex);
    gFixture = std::move(fixture);
}

std::shared_ptr<SKStoreFixture> SKStoreFixture::current() {
    std::lock_guard lock(gFixtureMutex);
    return gFixture;
}

void SKStoreFixture::deliver() {
    std::vector<std::function<void()>> held;
    {
        std::lock_guard lock(mutex_);
        held.swap(held_);
    }
    for (auto& answer : held)
        globalQueue().async(std::move(answer));
}

std::shared_ptr<SKProductsRequest> SKProductsRequest::create(
    std::set<std::string> productIdentifiers) {
    const auto fixture = SKStoreFixture::current();
    if (fixture && fixture->failCreation) return nullptr;
    return std::shared_ptr<SKProductsRequest>(new SKProductsRequest(std::move(productIdentifiers)));
}

void SKProductsRequest::start(Completion completion) {
    if (!completion) return;
    const auto fixture = SKStoreFixture::current();
    std::optional<SKProductsResponse> response;
    std::optional<Error> error;
    if (fixture && fixture->error) {
        error = fixture->error;
    } else {
        response.emplace();
        for (const auto& identifier : productIdentifiers_) {
            const SKProduct* found = nullptr;
            if (fixture && !fixture->invalidIdentifiers.contains(identifier))
                for (const auto& product : fixture->catalogue)
                    if (product.productIdentifier == identifier) found = &product;
            if (found)
                response->products.push_back(*found);
            else
                response->invalidProductIdentifiers.push_back(identifier);
        }
    }
    // The request stays alive until it has answered.
    auto answer = [self = shared_from_this(), completion = std::move(completion),
                   response = std::move(response),
                   error = std::move(error)] { completion(response, error); };
    if (fixture && fixture->hold) {
        std::lock_guard lock(fixture->mutex_);
        fixture->held_.push_back(std::move(answer));
        return;
    }
    globalQueue().async(std::move(answer));
}

bool StoreKitTransactionOffersAvailable() {
    const auto fixture = SKStoreFixture::current();
    return !(fixture && fixture->olderSystem);
}

}  // namespace platform
