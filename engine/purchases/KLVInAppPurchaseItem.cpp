#include "engine/purchases/KLVInAppPurchaseItem.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <ostream>

#include "engine/base/KLVAEU.h"
#include "engine/base/KLVDataAdditions.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/SharedInstance.h"

namespace engine {
namespace {

constexpr std::uint8_t W = 255;

enum class Kind { Text, OneByteFlagFT, OneByteFlagIO, OneByteInt, BigUnsigned };

struct Field {
    std::uint16_t type;
    std::uint8_t tag;
    Kind kind;
    std::optional<std::string> KLVInAppPurchaseItem::*text;
};

const Field kFields[] = {
    {1702, 0x0C, Kind::Text, &KLVInAppPurchaseItem::productID},
    {1703, 0x0C, Kind::Text, &KLVInAppPurchaseItem::transactionID},
    {1705, 0x0C, Kind::Text, &KLVInAppPurchaseItem::originalTransactionID},
    {1708, 0x16, Kind::Text, &KLVInAppPurchaseItem::subscriptionExpirationDateIA5String},
    {1713, 0x02, Kind::OneByteFlagFT, nullptr},
    {1719, 0x02, Kind::OneByteFlagIO, nullptr},
    {1707, 0x02, Kind::OneByteInt, nullptr},
    {1711, 0x02, Kind::BigUnsigned, nullptr},
    {1704, 0x16, Kind::Text, &KLVInAppPurchaseItem::purchaseDateIA5String},
    {1706, 0x16, Kind::Text, &KLVInAppPurchaseItem::originalPurchaseDateIA5String},
    {1712, 0x16, Kind::Text, &KLVInAppPurchaseItem::cancellationDateIA5String},
};
constexpr std::size_t kFieldCount = sizeof(kFields) / sizeof(kFields[0]);

const std::uint8_t kRecordStart[] = {0x02, 0x01, 0x11, 0x02, 0x01, W, 0x04};
const std::uint8_t kVersionPattern[] = {0x30, W, 0x02, 0x01, 0x13, 0x02, 0x01, W, 0x04, W};

std::string textOf(std::span<const std::uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

std::optional<std::span<const std::uint8_t>> KLVMatchReceiptPattern(
    std::span<const std::uint8_t> pattern, std::span<const std::uint8_t> data,
    std::int64_t offset) {
    if (offset < 0 || data.empty() || pattern.empty()) return std::nullopt;
    const auto start = static_cast<std::uint64_t>(offset);
    if (start + pattern.size() >= data.size()) return std::nullopt;
    std::optional<std::uint8_t> lastCaptured;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const std::uint8_t byte = data[start + i];
        if (pattern[i] == W)
            lastCaptured = byte;
        else if (pattern[i] != byte)
            return std::nullopt;
    }
    if (!lastCaptured || *lastCaptured == 0) return std::nullopt;
    const std::size_t n = *lastCaptured;
    if (start + pattern.size() + n > data.size()) return std::nullopt;
    if (n > 127) monitor().logWithLevel(kKLVLogWarningSilent, 39027, "Data is longer than 127");
    return data.subspan(start + pattern.size(), n);
}

std::optional<std::vector<KLVInAppPurchaseItem>> parseReceiptPurchaseItems(
    std::span<const std::uint8_t> receipt) {
    if (receipt.empty()) return std::nullopt;
    std::vector<KLVInAppPurchaseItem> result;
    std::optional<KLVInAppPurchaseItem> current;
    bool found[kFieldCount] = {};
    std::size_t offset = 0;
    while (offset < receipt.size()) {
        const auto off = static_cast<std::int64_t>(offset);
        if (auto start = KLVMatchReceiptPattern(kRecordStart, receipt, off)) {
            if (current && current->productID) result.push_back(*current);
            current.emplace();
            std::fill(std::begin(found), std::end(found), false);
            offset += start->size() + 1;
            continue;
        }
        if (!current) {
            ++offset;
            continue;
        }
        std::size_t next = offset + 1;
        for (std::size_t f = 0; f < kFieldCount; ++f) {
            if (found[f]) continue;
            const Field& field = kFields[f];
            const std::uint8_t pattern[] = {0x02,
                                            0x02,
                                            static_cast<std::uint8_t>(field.type >> 8),
                                            static_cast<std::uint8_t>(field.type & 0xFF),
                                            0x02,
                                            0x01,
                                            W,
                                            0x04,
                                            W,
                                            field.tag,
                                            W};
            const auto value = KLVMatchReceiptPattern(pattern, receipt, off);
            if (!value) continue;
            found[f] = true;
            const bool oneByte = value->size() == 1;
            switch (field.kind) {
                case Kind::Text:
                    *current.*field.text = textOf(*value);
                    break;
                case Kind::OneByteFlagFT:
                case Kind::OneByteFlagIO: {
                    if (!oneByte) continue;  // counts as found; the next field is tried here
                    const std::uint8_t v = (*value)[0];
                    bool flag = v == 1;
                    if (v > 1) {
                        if (field.kind == Kind::OneByteFlagFT)
                            monitor().logWithLevel(kKLVLogWarningSilent, 39025,
                                                   "Subdata FT unexpected value",
                                                   static_cast<std::int64_t>(v));
                        else
                            monitor().logWithLevel(kKLVLogWarningSilent, 39028,
                                                   "Subdata IO unexpected value",
                                                   static_cast<std::int64_t>(v));
                    }
                    (field.kind == Kind::OneByteFlagFT ? current->freeTrial
                                                       : current->introductoryOffer) = flag;
                    break;
                }
                case Kind::OneByteInt:
                    if (!oneByte) continue;
                    current->purchaseType = (*value)[0];
                    break;
                case Kind::BigUnsigned: {
                    const auto bits =
                        static_cast<std::uint64_t>(klv_64LeastSignificantBits(*value));
                    if (bits != 0) current->webOrderLineItemID = bits;
                    break;
                }
            }
            next = offset + value->size() + 1;
            break;
        }
        offset = next;
    }
    if (current && (result.empty() || !(result.back() == *current))) result.push_back(*current);
    return result;
}

std::optional<double> KLVReceiptDate(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    int y, mo, d, h, mi, s, consumed = 0;
    if (std::sscanf(text->c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s,
                    &consumed) != 6)
        return std::nullopt;
    const std::string zone = text->substr(static_cast<std::size_t>(consumed));
    long zoneSeconds = 0;
    if (zone != "Z") {
        int zh, zm, zc = 0;
        if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') ||
            std::sscanf(zone.c_str() + 1, "%2d:%2d%n", &zh, &zm, &zc) != 2 || zc != 5)
            return std::nullopt;
        zoneSeconds = (zh * 3600L + zm * 60L) * (zone[0] == '-' ? -1 : 1);
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return static_cast<double>(timegm(&tm) - zoneSeconds);
}

std::optional<std::vector<KLVInAppPurchaseItem>> KLVFilterPurchaseItems(
    const std::vector<KLVInAppPurchaseItem>& items, const std::optional<std::string>& productID,
    std::optional<double> date) {
    if (items.empty() || (!productID && !date)) return std::nullopt;
    // Receipt dates have whole seconds; a transaction's fraction would never meet them.
    const std::optional<double> second =
        date ? std::optional<double>(std::floor(*date)) : std::nullopt;
    std::vector<KLVInAppPurchaseItem> kept;
    for (const auto& item : items) {
        if (productID && item.productID != productID) continue;
        if (second && KLVReceiptDate(item.purchaseDateIA5String) != second) continue;
        kept.push_back(item);
    }
    std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
        return KLVReceiptDate(a.purchaseDateIA5String).value_or(-INFINITY) <
               KLVReceiptDate(b.purchaseDateIA5String).value_or(-INFINITY);
    });
    return kept;
}

bool KLVComputeOriginalApplicationVersionMatches(
    const std::optional<std::vector<std::uint8_t>>& receipt, bool simulator, bool sandbox,
    std::string_view bundleVersion) {
    auto& monitor = engine::monitor();
    if (simulator || sandbox) return true;
    if (!receipt) {
        monitor.logWithLevel(kKLVLogWarningSilent, 39002, "Version data is nil");
        return false;
    }
    if (receipt->empty()) {
        monitor.logWithLevel(kKLVLogWarningSilent, 39004, "Version data is empty");
        return false;
    }
    std::optional<std::span<const std::uint8_t>> value;
    for (std::size_t offset = 0; offset < receipt->size() && !value; ++offset)
        value =
            KLVMatchReceiptPattern(kVersionPattern, *receipt, static_cast<std::int64_t>(offset));
    const std::int64_t length = value ? static_cast<std::int64_t>(value->size()) : 0;
    if (length <= 2) {
        monitor.logWithLevel(kKLVLogWarningSilent, 39006, "V data is too short. Length", length);
        return false;
    }
    if ((*value)[0] != 12)
        monitor.logWithLevel(kKLVLogWarningSilent, 39007, "V data byte 0 is wrong. Value",
                             static_cast<std::int64_t>((*value)[0]));
    if ((*value)[1] != length - 2)
        monitor.logWithLevel(kKLVLogWarningSilent, 39008, "V data byte 1 is wrong. Value, expected",
                             static_cast<std::int64_t>((*value)[1]), length - 2);
    return textOf(value->subspan(2)) == bundleVersion;
}

}  // namespace engine

namespace engine {

bool KLVOriginalApplicationVersionMatches() {
    // Decided once and kept; resetSharedInstances() forgets it together with the main bundle it
    // was decided from, so that a test that sets another bundle or device model is not answered
    // from an earlier test's.
    static std::mutex mutex;
    static std::optional<bool> decided;
    static std::once_flag registered;
    std::call_once(registered, [] {
        platform::registerSharedReset("KLVOriginalApplicationVersionMatches", [] {
            std::lock_guard lock(mutex);
            decided.reset();
        });
    });
    std::lock_guard lock(mutex);
    if (!decided) {
        std::optional<std::vector<std::uint8_t>> receipt;
        const bool simulator = KLVAEU::isNOD();
        const bool sandbox = KLVAEU::isASRS();
        if (!simulator && !sandbox)
            if (const auto url = KLVAEU::appStoreRURL()) receipt = platform::readFile(*url);
        const auto& version =
            platform::Bundle::mainBundle().objectForInfoDictionaryKey("CFBundleVersion");
        decided = KLVComputeOriginalApplicationVersionMatches(
            receipt, simulator, sandbox, version.isString() ? version.asString() : std::string());
    }
    return *decided;
}

void PrintTo(const KLVInAppPurchaseItem& item, std::ostream* os) {
    *os << "KLVInAppPurchaseItem{freeTrial: " << (item.freeTrial ? "true" : "false")
        << ", introductoryOffer: " << (item.introductoryOffer ? "true" : "false");
    const auto text = [os](const char* name, const std::optional<std::string>& value) {
        if (value) *os << ", " << name << ": " << platform::Object(*value).description();
    };
    text("subscriptionExpirationDate", item.subscriptionExpirationDateIA5String);
    text("productID", item.productID);
    text("originalTransactionID", item.originalTransactionID);
    text("transactionID", item.transactionID);
    if (item.webOrderLineItemID) *os << ", webOrderLineItemID: " << *item.webOrderLineItemID;
    text("originalPurchaseDate", item.originalPurchaseDateIA5String);
    text("purchaseDate", item.purchaseDateIA5String);
    text("cancellationDate", item.cancellationDateIA5String);
    if (item.purchaseType) *os << ", purchaseType: " << *item.purchaseType;
    *os << '}';
}

}  // namespace engine
