#pragma once

// The in-app purchase records of the store receipt. The receipt's container is not decoded: its
// bytes are scanned for the encoded patterns of the fields the engine needs.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace engine {

struct KLVInAppPurchaseItem {
    bool freeTrial = false;
    bool introductoryOffer = false;
    std::optional<std::string> subscriptionExpirationDateIA5String;
    std::optional<std::string> productID;
    std::optional<std::string> originalTransactionID;
    std::optional<std::string> transactionID;
    std::optional<std::uint64_t> webOrderLineItemID;
    std::optional<std::string> originalPurchaseDateIA5String;
    std::optional<std::string> purchaseDateIA5String;
    std::optional<std::string> cancellationDateIA5String;
    std::optional<std::int64_t> purchaseType;  // 0 non-consumable ... 3 auto-renewable

    friend bool operator==(const KLVInAppPurchaseItem&, const KLVInAppPurchaseItem&) = default;
};

// For failure messages: the two flags and each field that is present, by name.
void PrintTo(const KLVInAppPurchaseItem& item, std::ostream* os);

// Pattern bytes; 255 matches any byte and captures it. The bytes that follow the pattern, as
// many as the last captured byte says, or nullopt.
std::optional<std::span<const std::uint8_t>> KLVMatchReceiptPattern(
    std::span<const std::uint8_t> pattern, std::span<const std::uint8_t> data, std::int64_t offset);

// The records of the receipt; nullopt for empty data.
std::optional<std::vector<KLVInAppPurchaseItem>> parseReceiptPurchaseItems(
    std::span<const std::uint8_t> receipt);

// Seconds since 1970 of a receipt date ("2024-01-02T03:04:05Z", "...+01:00"), or nullopt.
std::optional<double> KLVReceiptDate(const std::optional<std::string>& text);

// The records of the product and/or purchased at the date (compared in whole seconds), sorted by
// purchase date; nullopt when the list is empty or both filters are missing.
std::optional<std::vector<KLVInAppPurchaseItem>> KLVFilterPurchaseItems(
    const std::vector<KLVInAppPurchaseItem>& items, const std::optional<std::string>& productID,
    std::optional<double> date);

// Whether the receipt's original application version equals the running one. Decided here from
// the given facts; the engine asks once per process.
bool KLVComputeOriginalApplicationVersionMatches(
    const std::optional<std::vector<std::uint8_t>>& receipt, bool simulator, bool sandbox,
    std::string_view bundleVersion);

}  // namespace engine

namespace engine {

// The flag above for this process, decided on first use from the system's facts (again after
// resetSharedInstances()).
bool KLVOriginalApplicationVersionMatches();

}  // namespace engine
