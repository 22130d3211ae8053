#include "platform/storekit/SKPaymentQueue.h"

#include <algorithm>

namespace platform {

SKPaymentQueue& SKPaymentQueue::defaultQueue() {
    // Never destroyed: observers with static lifetime remove themselves at exit.
    static SKPaymentQueue* const queue = new SKPaymentQueue();
    return *queue;
}

void SKPaymentQueue::addTransactionObserver(SKPaymentTransactionObserver* observer) {
    if (!observer) return;
    std::lock_guard lock(mutex_);
    if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void SKPaymentQueue::removeTransactionObserver(SKPaymentTransactionObserver* observer) {
    std::lock_guard lock(mutex_);
    std::erase(observers_, observer);
}

bool SKPaymentQueue::hasTransactionObserver(const SKPaymentTransactionObserver* observer) const {
    std::lock_guard lock(mutex_);
    return std::find(observers_.begin(), observers_.end(), observer) != observers_.end();
}

void SKPaymentQueue::updatedTransactions(const std::vector<SKPaymentTransaction>& transactions) {
    std::lock_guard lock(mutex_);
    const auto observers = observers_;
    for (auto* observer : observers) {
        // Skip one that an earlier observer removed during this batch.
        if (std::find(observers_.begin(), observers_.end(), observer) != observers_.end())
            observer->paymentQueue(*this, transactions);
    }
}

void SKStoreFixture::pushTransactions(const std::vector<SKPaymentTransaction>& transactions) {
    SKPaymentQueue::defaultQueue().updatedTransactions(transactions);
}

}  // namespace platform
