#pragma once

// The store's payment queue: the one place purchases are announced. Observers hear of every
// batch of changed transactions. Without a store nothing is ever announced; tests push batches
// through SKStoreFixture::pushTransactions.

#include <mutex>
#include <vector>

#include "platform/storekit/StoreKit.h"

namespace platform {

class SKPaymentQueue;

class SKPaymentTransactionObserver {
  public:
    virtual ~SKPaymentTransactionObserver() = default;
    virtual void paymentQueue(SKPaymentQueue& queue,
                              const std::vector<SKPaymentTransaction>& transactions) = 0;
};

class SKPaymentQueue {
  public:
    // Lives for the process.
    static SKPaymentQueue& defaultQueue();

    // Adding an observer twice keeps it once. The queue does not own its observers: an observer
    // removes itself before it is destroyed.
    void addTransactionObserver(SKPaymentTransactionObserver* observer);
    void removeTransactionObserver(SKPaymentTransactionObserver* observer);
    bool hasTransactionObserver(const SKPaymentTransactionObserver* observer) const;

  private:
    friend class SKStoreFixture;
    SKPaymentQueue() = default;
    void updatedTransactions(const std::vector<SKPaymentTransaction>& transactions);

    // Recursive: an observer may remove itself while it is being told of a batch, and removal
    // from another thread waits until the batch has been told.
    mutable std::recursive_mutex mutex_;
    std::vector<SKPaymentTransactionObserver*> observers_;
};

}  // namespace platform
