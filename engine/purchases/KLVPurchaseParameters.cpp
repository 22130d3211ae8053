#include "engine/purchases/KLVPurchaseParameters.h"

#include <limits>

#include "engine/base/KLVDataAdditions.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"

namespace engine {
namespace {

__extension__ typedef unsigned __int128 U128;

// Decimal digits times a small non-negative factor, as decimal digits.
std::string multiplyDigits(const std::string& digits, std::uint64_t factor) {
    if (factor == 0 || digits == "0") return "0";
    std::string result;
    U128 carry = 0;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        const U128 product = static_cast<U128>(*it - '0') * factor + carry;
        result.push_back(static_cast<char>('0' + static_cast<int>(product % 10)));
        carry = product / 10;
    }
    while (carry > 0) {
        result.push_back(static_cast<char>('0' + static_cast<int>(carry % 10)));
        carry /= 10;
    }
    return std::string(result.rbegin(), result.rend());
}

std::optional<std::int64_t> priceMicros(const std::optional<std::string>& price,
                                        std::int64_t quantity) {
    if (!price) return std::nullopt;
    const auto decimal = KLVDecimalNumberFromString(*price);
    if (!decimal) return std::nullopt;
    return KLVPurchaseValueMicros(*decimal, quantity);
}

void logVerbose(std::int64_t code, std::string_view message) {
    monitor().logWithLevel(kKLVLogVerbose, code, message);
}

bool nonEmpty(const std::optional<std::string>& text) {
    return text && !text->empty();
}

bool sameIDs(const KLVInAppPurchaseItem& item) {
    // Absent IDs are never equal.
    return item.transactionID && item.originalTransactionID &&
           *item.transactionID == *item.originalTransactionID;
}

void setFreeTrialPrice(KLVParameters& parameters) {
    if (auto price = parameters.find("price"); price != parameters.end())
        parameters.insert_or_assign("original_price", price->second);
    parameters.insert_or_assign("price_is_discounted", KLVValue::initWithInt64(1));
    parameters.insert_or_assign("price", KLVValue::initWithInt64(0));
    parameters.insert_or_assign("value", KLVValue::initWithInt64(0));
}

bool isOne(const KLVParameters& parameters, std::string_view name) {
    const auto it = parameters.find(name);
    return it != parameters.end() && it->second.isInt64() && it->second.int64Value() == 1;
}

}  // namespace

std::optional<std::int64_t> KLVPurchaseValueMicros(const KLVDecimalNumber& price,
                                                   std::int64_t quantity) {
    const bool negative = price.negative != (quantity < 0);
    const std::uint64_t magnitude = quantity < 0 ? 0 - static_cast<std::uint64_t>(quantity)
                                                 : static_cast<std::uint64_t>(quantity);
    std::string digits = multiplyDigits(price.digits, magnitude);
    std::int64_t exponent = price.exponent;
    // x 1,000,000
    exponent += 6;
    if (exponent >= 0) {
        if (digits != "0") digits.append(static_cast<std::size_t>(exponent), '0');
    } else {
        const auto cut = static_cast<std::size_t>(-exponent);
        digits = cut >= digits.size() ? "0" : digits.substr(0, digits.size() - cut);
    }
    if (digits.size() > 19) return std::nullopt;
    U128 value = 0;
    for (char c : digits)
        value = value * 10 + static_cast<unsigned>(c - '0');
    const auto max = static_cast<U128>(std::numeric_limits<std::int64_t>::max());
    if (value > max + (negative ? 1 : 0)) return std::nullopt;
    if (negative)
        return value == max + 1 ? std::numeric_limits<std::int64_t>::min()
                                : -static_cast<std::int64_t>(value);
    return static_cast<std::int64_t>(value);
}

std::int64_t KLVPurchaseDeduplicationID(const std::optional<std::string>& originalTransactionID,
                                        std::optional<std::uint64_t> webOrderLineItemID,
                                        const std::optional<std::string>& productID) {
    if (!nonEmpty(originalTransactionID) || !nonEmpty(productID)) return -1;
    std::string text = *originalTransactionID;
    if (webOrderLineItemID) text += std::to_string(*webOrderLineItemID);
    text += *productID;
    return klv_64LSBMD5(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void KLVAddSubscriptionRenewalFlag(KLVParameters& parameters,
                                   const std::vector<KLVInAppPurchaseItem>& matches,
                                   const KLVInAppPurchaseItem* record) {
    if (matches.empty() || !record || sameIDs(*record)) return;
    const KLVInAppPurchaseItem* previous = nullptr;
    for (std::size_t i = 1; i < matches.size(); ++i)
        if (matches[i] == *record) {
            previous = &matches[i - 1];
            break;
        }
    if (previous && previous->freeTrial)
        parameters.insert_or_assign("sub_convert", KLVValue::initWithInt64(1));
    else
        parameters.insert_or_assign("sub_renew", KLVValue::initWithInt64(1));
}

std::optional<KLVParameters> purchaseEventParameters(
    const platform::SKProduct* product, std::int64_t quantity,
    std::optional<std::string> transactionID, std::optional<std::string> originalTransactionID,
    std::optional<double> transactionDate, const std::vector<KLVInAppPurchaseItem>& items) {
    auto& monitor = engine::monitor();
    if (!product) {
        logVerbose(40026, "IAP Transaction cannot be created from nil product");
        return std::nullopt;
    }
    if (product->productIdentifier.empty()) {
        logVerbose(40027, "IAP Transaction cannot be created from empty or nil product ID");
        return std::nullopt;
    }
    const std::string& productID = product->productIdentifier;
    KLVParameters parameters;
    parameters.emplace("product_id", KLVValue::initWithString(productID));
    bool outOfRange = false;
    if (product->price) {
        const auto price = priceMicros(product->price, 1);
        if (price)
            parameters.emplace("price", KLVValue::initWithInt64(*price));
        else
            outOfRange = true;
        if (quantity != 0) {
            if (const auto value = priceMicros(product->price, quantity))
                parameters.emplace("value", KLVValue::initWithInt64(*value));
            else
                outOfRange = true;
            parameters.emplace("quantity", KLVValue::initWithInt64(quantity));
        }
    }
    if (product->currencyCode)
        parameters.emplace("currency", KLVValue::initWithString(*product->currencyCode));
    if (product->localizedTitle)
        parameters.emplace("product_name", KLVValue::initWithString(*product->localizedTitle));
    if (!nonEmpty(transactionID)) logVerbose(40003, "Transaction ID cannot be nil or empty.");

    const auto matches = KLVFilterPurchaseItems(items, productID, std::nullopt)
                             .value_or(std::vector<KLVInAppPurchaseItem>{});
    const auto one = static_cast<std::int64_t>(1);
    [&] {
        if (matches.empty()) {
            monitor.logWithLevel(kKLVLogVerbose, 40020,
                                 "Transaction missing in receipt will be reported as invalid",
                                 productID);
            parameters.insert_or_assign("invalid", KLVValue::initWithInt64(one));
            return;
        }
        const KLVInAppPurchaseItem& latest = matches.back();
        const std::int64_t type = latest.purchaseType.value_or(0);
        if (type == 0 && nonEmpty(transactionID) && nonEmpty(originalTransactionID) &&
            *transactionID != *originalTransactionID) {
            logVerbose(40005,
                       "Restore/repurchase of non-consumable item will be reported as invalid");
            parameters.insert_or_assign("invalid", KLVValue::initWithInt64(one));
            return;
        }
        const bool subscription = type == 2 || type == 3 || latest.webOrderLineItemID.has_value();
        if (matches.size() == 1 && !subscription) {
            if (sameIDs(latest)) {
                if (type == 1)
                    logVerbose(40021, "Transaction of consumable item will be reported");
                else
                    logVerbose(40022, "Transaction of non-consumable item will be reported");
                parameters.insert_or_assign(
                    "_did", KLVValue::initWithInt64(KLVPurchaseDeduplicationID(
                                latest.originalTransactionID, std::nullopt, latest.productID)));
            } else {
                logVerbose(
                    40007,
                    "Transaction with mismatched transaction ID and original transaction ID will "
                    "be reported as consumable");
            }
            return;
        }
        const auto dated = KLVFilterPurchaseItems(matches, std::nullopt, transactionDate)
                               .value_or(std::vector<KLVInAppPurchaseItem>{});
        if (dated.empty()) {
            if (subscription) {
                monitor.logWithLevel(
                    kKLVLogVerbose, 40023,
                    "Subscription transaction missing in receipt will be reported as invalid",
                    productID);
                parameters.insert_or_assign("invalid", KLVValue::initWithInt64(one));
                parameters.insert_or_assign("subscription", KLVValue::initWithInt64(one));
            }
            // Several one-time records, none at the date: the base parameters, reported as a
            // plain purchase rather than as a renewal without an ID.
            return;
        }
        if (dated.size() >= 2) {
            monitor.logWithLevel(kKLVLogVerbose, 40024,
                                 "Subscription transaction with duplicate transaction date will be "
                                 "reported as invalid",
                                 productID, static_cast<std::int64_t>(dated.size()));
            parameters.insert_or_assign("invalid", KLVValue::initWithInt64(one));
            parameters.insert_or_assign("subscription", KLVValue::initWithInt64(one));
            return;
        }
        const KLVInAppPurchaseItem& record = dated.front();
        if (record.purchaseType.value_or(0) == 2) {
            parameters.insert_or_assign("subscription", KLVValue::initWithInt64(one));
            parameters.insert_or_assign(
                "_did", KLVValue::initWithInt64(KLVPurchaseDeduplicationID(
                            record.originalTransactionID, std::nullopt, record.productID)));
            logVerbose(40025, "Transaction of non-renewing subscription will be reported");
            return;
        }
        if (sameIDs(record))
            parameters.insert_or_assign("subscription", KLVValue::initWithInt64(one));
        parameters.insert_or_assign("_did", KLVValue::initWithInt64(KLVPurchaseDeduplicationID(
                                                record.originalTransactionID,
                                                record.webOrderLineItemID, record.productID)));
        if (!record.freeTrial && !record.introductoryOffer) {
            logVerbose(40008, "Transaction of auto-renewable subscription will be reported");
            KLVAddSubscriptionRenewalFlag(parameters, matches, &record);
            return;
        }
        if (record.freeTrial) {
            parameters.insert_or_assign("free_trial", KLVValue::initWithInt64(one));
            if (nonEmpty(transactionID) && nonEmpty(originalTransactionID) &&
                *transactionID != *originalTransactionID) {
                logVerbose(
                    40011,
                    "Repurchase of free-trial auto-renewable subscription will be reported as "
                    "invalid");
                parameters.insert_or_assign("invalid", KLVValue::initWithInt64(one));
                return;
            }
            logVerbose(40009,
                       "Transaction of free-trial auto-renewable subscription will be reported");
        }
        if (record.introductoryOffer) {
            parameters.insert_or_assign("price_is_discounted", KLVValue::initWithInt64(one));
            KLVAddSubscriptionRenewalFlag(parameters, matches, &record);
            logVerbose(40018, "Transaction of introductory offer will be reported");
        }
        logVerbose(40010, "Transaction of auto-renewable subscription renewal will be reported");
    }();

    if (isOne(parameters, "free_trial")) {
        setFreeTrialPrice(parameters);
    } else if (isOne(parameters, "price_is_discounted") && platform::SKProductDiscountAvailable() &&
               product->introductoryPrice) {
        const auto& intro = *product->introductoryPrice;
        if (intro.paymentMode == platform::SKProductDiscount::FreeTrial) {
            setFreeTrialPrice(parameters);
        } else if (intro.price) {
            const auto introPrice = priceMicros(intro.price, 1);
            if (!introPrice) return std::nullopt;
            if (auto price = parameters.find("price"); price != parameters.end())
                parameters.insert_or_assign("original_price", price->second);
            parameters.insert_or_assign("price", KLVValue::initWithInt64(*introPrice));
            if (quantity != 0) {
                const auto value = priceMicros(intro.price, quantity);
                if (!value) return std::nullopt;
                parameters.insert_or_assign("value", KLVValue::initWithInt64(*value));
            }
        }
    }
    // A price or value beyond int64 makes no event.
    if (outOfRange) return std::nullopt;
    for (const char* name : {"price", "value", "currency", "product_id"})
        if (!parameters.contains(name)) return std::nullopt;
    return parameters;
}

}  // namespace engine
