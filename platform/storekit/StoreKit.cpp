#include "platform/storekit/StoreKit.h"

namespace platform {

bool SKProductDiscountAvailable() {
    return true;
}

}  // namespace platform
