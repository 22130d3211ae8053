#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "engine/database/DatabaseTestSupport.h"
#include "engine/purchases/KLVInAppPurchaseItem.h"
#include "engine/purchases/KLVInAppPurchaseTransactionReporter.h"
#include "engine/purchases/KLVLifetimeValueRecorder.h"
#include "engine/purchases/KLVPurchaseFilter.h"
#include "engine/purchases/KLVPurchaseParameters.h"
#include "engine/purchases/PurchasesTestSupport.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/utilities/WDLAppEnvironmentUtil.h"

namespace engine {
namespace {

using testing::DatabaseEventTest;
using namespace testing;

TEST(ReceiptScanner, ReadsEachFieldOfRecordsAmidStrayBytes) {
    const Bytes receipt = join({
        recordStart(),
        text(1702, "gold"),
        text(1703, "1001"),
        text(1705, "1000"),
        date(1708, "2024-02-01T00:00:00Z"),
        integer(1713, {1}),
        integer(1719, {0}),
        integer(1707, {3}),
        integer(1711, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09}),
        date(1704, "2024-01-01T00:00:00Z"),
        date(1706, "2023-12-01T00:00:00+01:00"),
        date(1712, "2024-01-15T00:00:00Z"),
        recordStart(),  // no product ID: dropped when the next record starts
        text(1703, "lost"),
        recordStart(),
        text(1702, "coins"),
        integer(1713, {2}),     // neither 0 nor 1: NO
        integer(1707, {1, 0}),  // two bytes: not taken
        integer(1711, {0, 0}),  // 0: not set
    });
    const auto items = parseReceiptPurchaseItems(receipt);
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 2u);
    KLVInAppPurchaseItem gold;
    gold.productID = "gold";
    gold.transactionID = "1001";
    gold.originalTransactionID = "1000";
    gold.subscriptionExpirationDateIA5String = "2024-02-01T00:00:00Z";
    gold.freeTrial = true;
    gold.purchaseType = 3;
    gold.webOrderLineItemID = 9;  // the last eight bytes only
    gold.purchaseDateIA5String = "2024-01-01T00:00:00Z";
    gold.originalPurchaseDateIA5String = "2023-12-01T00:00:00+01:00";
    gold.cancellationDateIA5String = "2024-01-15T00:00:00Z";
    EXPECT_EQ((*items)[0], gold);
    KLVInAppPurchaseItem coins;
    coins.productID = "coins";
    EXPECT_EQ((*items)[1], coins);

    EXPECT_FALSE(parseReceiptPurchaseItems({}));
    // A last record without a product ID is kept.
    const auto last = parseReceiptPurchaseItems(join({recordStart(), text(1703, "t")}));
    ASSERT_TRUE(last);
    ASSERT_EQ(last->size(), 1u);
    EXPECT_EQ((*last)[0].transactionID, "t");
    EXPECT_FALSE((*last)[0].productID);
}

TEST(ReceiptScanner, PatternBounds) {
    const Bytes pattern = {0x01, 255};
    const std::tuple<Bytes, std::int64_t, std::optional<Bytes>> cases[] = {
        {{0x01, 0x02, 0xA, 0xB, 0xC}, 0, Bytes{0xA, 0xB}},
        {{0x01, 0x02, 0xA, 0xB}, 0, Bytes{0xA, 0xB}},
        {{0x01, 0x03, 0xA, 0xB}, 0, std::nullopt},  // runs past the end
        {{0x01, 0x00, 0xA, 0xB}, 0, std::nullopt},  // zero length
        {{0x02, 0x01, 0xA, 0xB}, 0, std::nullopt},  // mismatch
        {{0x01, 0x01, 0xA}, -1, std::nullopt},      // negative offset
        {{0x01, 0x01}, 0, std::nullopt},            // nothing after the pattern
    };
    for (const auto& [data, offset, expected] : cases) {
        const auto got = KLVMatchReceiptPattern(pattern, data, offset);
        EXPECT_EQ(got ? std::optional<Bytes>(Bytes(got->begin(), got->end())) : std::nullopt,
                  expected);
    }
}

TEST(ReceiptScanner, DatesAndFiltering) {
    EXPECT_EQ(KLVReceiptDate("2023-11-14T22:13:20Z"), 1'700'000'000.0);
    EXPECT_EQ(KLVReceiptDate("2023-11-14T23:13:20+01:00"), 1'700'000'000.0);
    EXPECT_FALSE(KLVReceiptDate("2023-11-14 22:13:20"));
    EXPECT_FALSE(KLVReceiptDate("2023-11-14T22:13:20+0100"));

    KLVInAppPurchaseItem late, early, other;
    late.productID = early.productID = "p";
    other.productID = "q";
    late.purchaseDateIA5String = "2023-11-14T22:13:21Z";
    early.purchaseDateIA5String = other.purchaseDateIA5String = "2023-11-14T22:13:20Z";
    const std::vector items = {late, other, early};
    EXPECT_EQ(KLVFilterPurchaseItems(items, "p", std::nullopt), (std::vector{early, late}));
    // A transaction's fraction of a second still meets the receipt's whole second.
    EXPECT_EQ(KLVFilterPurchaseItems(items, std::nullopt, 1'700'000'000.75),
              (std::vector{other, early}));
    EXPECT_EQ(KLVFilterPurchaseItems(items, "p", 1'700'000'000.2), (std::vector{early}));
    EXPECT_FALSE(KLVFilterPurchaseItems(items, std::nullopt, std::nullopt));
    EXPECT_FALSE(KLVFilterPurchaseItems({}, "p", std::nullopt));
}

TEST(PurchaseValue, ExactDecimalMicros) {
    const std::tuple<const char*, std::int64_t, std::optional<std::int64_t>> cases[] = {
        {"0.99", 1, 990000},
        {"0.1", 3, 300000},           // 0.30000000000000004 in doubles
        {"19.9999999", 1, 19999999},  // cut toward zero
        {"-1.5", 2, -3000000},
        {"1.5", -2, -3000000},
        {"9223372036854.775807", 1, INT64_MAX},
        {"9223372036854.775808", 1, std::nullopt},
        {"10000000000000", 1, std::nullopt},  // 1e19 millionths
    };
    for (const auto& [price, quantity, micros] : cases) {
        const auto decimal = KLVDecimalNumberFromString(price);
        ASSERT_TRUE(decimal) << price;
        EXPECT_EQ(KLVPurchaseValueMicros(*decimal, quantity), micros) << price;
    }
}

TEST(PurchaseValue, DeduplicationID) {
    EXPECT_EQ(KLVPurchaseDeduplicationID("1000", std::nullopt, "abc"), -5848591623165741945);
    EXPECT_EQ(KLVPurchaseDeduplicationID("1000", 777, "abc"), -6657383701461115489);
    EXPECT_EQ(KLVPurchaseDeduplicationID("", std::nullopt, "abc"), -1);
    EXPECT_EQ(KLVPurchaseDeduplicationID("1000", std::nullopt, std::nullopt), -1);
}

KLVInAppPurchaseItem record(std::string product, std::string tid, std::string otid,
                            std::int64_t type, std::string purchased, bool freeTrial = false,
                            bool intro = false, std::optional<std::uint64_t> line = std::nullopt) {
    KLVInAppPurchaseItem item;
    item.productID = std::move(product);
    item.transactionID = std::move(tid);
    item.originalTransactionID = std::move(otid);
    item.purchaseType = type;
    item.purchaseDateIA5String = std::move(purchased);
    item.freeTrial = freeTrial;
    item.introductoryOffer = intro;
    item.webOrderLineItemID = line;
    return item;
}

class PurchaseParametersTest : public testing::EventTest {};

TEST_F(PurchaseParametersTest, DecisionPath) {
    constexpr char kT0[] = "2023-11-14T22:13:20Z";
    constexpr char kT1[] = "2023-12-14T22:13:20Z";
    constexpr double kD0 = 1'700'000'000.4;
    constexpr double kD1 = 1'702'592'000.0;
    const std::int64_t didP = KLVPurchaseDeduplicationID("o", std::nullopt, "p");
    const std::int64_t didLine = KLVPurchaseDeduplicationID("o", 7, "p");
    platform::SKProduct product{"p", "0.99", "EUR", "Gold", std::nullopt};
    platform::SKProduct intro = product;
    intro.introductoryPrice = platform::SKProductDiscount{"0.49", 0};
    platform::SKProduct introFree = product;
    introFree.introductoryPrice = platform::SKProductDiscount{"0.49", 2};
    auto base = [](KLVParameters extra, std::int64_t price = 990000, std::int64_t value = 1980000) {
        KLVParameters p = {{"product_id", KLVValue::initWithString("p")},
                           {"price", KLVValue::initWithInt64(price)},
                           {"value", KLVValue::initWithInt64(value)},
                           {"quantity", KLVValue::initWithInt64(2)},
                           {"currency", KLVValue::initWithString("EUR")},
                           {"product_name", KLVValue::initWithString("Gold")}};
        for (auto& [k, v] : extra)
            p.insert_or_assign(k, v);
        return p;
    };
    auto i = [](std::int64_t v) { return KLVValue::initWithInt64(v); };
    // One receipt record of product "p".
    auto r = [](const char* tid, const char* otid, std::int64_t type, const char* date,
                bool freeTrial = false, bool intro = false,
                std::optional<std::uint64_t> line = std::nullopt) {
        return record("p", tid, otid, type, date, freeTrial, intro, line);
    };
    const auto invalidSub = base({{"invalid", i(1)}, {"subscription", i(1)}});
    const auto discounted = [&](KLVParameters extra) {
        extra.insert({{"price_is_discounted", i(1)}, {"original_price", i(990000)}});
        return base(extra, 0, 0);
    };
    const auto line = base({{"subscription", i(1)}, {"_did", i(didLine)}});
    const auto trial =
        discounted({{"subscription", i(1)}, {"_did", i(didP)}, {"free_trial", i(1)}});
    const auto introOffer = discounted({{"subscription", i(1)}, {"_did", i(didP)}});
    struct Case {
        const char* name;
        std::optional<std::string> tid, otid;
        std::vector<KLVInAppPurchaseItem> items;
        std::optional<KLVParameters> expected;
        const platform::SKProduct* product = nullptr;
    };
    const Case cases[] = {
        {"missing from receipt", "t", "t", {}, base({{"invalid", i(1)}}), &product},
        {"consumable", "o", "o", {r("o", "o", 1, kT0)}, base({{"_did", i(didP)}}), &product},
        {"mismatched IDs", "t", "t", {r("t", "o", 1, kT0)}, base({}), &product},
        {"restored non-consumable",
         "t",
         "o",
         {r("t", "o", 0, kT0)},
         base({{"invalid", i(1)}}),
         &product},
        {"duplicate date",
         "t",
         "o",
         {r("a", "o", 3, kT0), r("b", "o", 3, kT0)},
         invalidSub,
         &product},
        {"non-renewing",
         "o",
         "o",
         {r("o", "o", 2, kT0)},
         base({{"subscription", i(1)}, {"_did", i(didP)}}),
         &product},
        {"subscription not at the date", "t", "o", {r("t", "o", 3, kT1)}, invalidSub, &product},
        {"first auto-renewable", "o", "o", {r("o", "o", 3, kT0, false, false, 7)}, line, &product},
        {"free trial", "o", "o", {r("o", "o", 3, kT0, true)}, trial, &product},
        {"introductory free", "o", "o", {r("o", "o", 3, kT0, false, true)}, introOffer, &introFree},
        {"no product", "t", "t", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            testing::plain(purchaseEventParameters(c.product, 2, c.tid, c.otid, kD0, c.items)),
            testing::plain(c.expected))
            << c.name;
    }
    // Renewals: the previous record decides between conversion and renewal.
    const std::vector renewals = {r("o", "o", 3, kT0, true), r("t", "o", 3, kT1)};
    EXPECT_EQ(testing::plain(purchaseEventParameters(&product, 2, "t", "o", kD1, renewals)),
              testing::plain(base({{"_did", i(didP)}, {"sub_convert", i(1)}})));
    const std::vector plainRenewals = {r("o", "o", 3, kT0), r("t", "o", 3, kT1)};
    EXPECT_EQ(testing::plain(purchaseEventParameters(&product, 2, "t", "o", kD1, plainRenewals)),
              testing::plain(base({{"_did", i(didP)}, {"sub_renew", i(1)}})));
    const std::vector introRenewals = {r("o", "o", 3, kT0), r("t", "o", 3, kT1, false, true)};
    EXPECT_EQ(testing::plain(purchaseEventParameters(&intro, 2, "t", "o", kD1, introRenewals)),
              testing::plain(base({{"_did", i(didP)},
                                   {"sub_renew", i(1)},
                                   {"price_is_discounted", i(1)},
                                   {"original_price", i(990000)}},
                                  490000, 980000)));
}

TEST_F(PurchaseParametersTest, NilResults) {
    const std::vector items = {record("p", "o", "o", 1, "2023-11-14T22:13:20Z")};
    struct Case {
        const char* name;
        platform::SKProduct product;
        std::int64_t quantity;
    } cases[] = {
        {"empty ID", {"", "1", "EUR", std::nullopt, std::nullopt}, 1},
        {"no price", {"p", std::nullopt, "EUR", std::nullopt, std::nullopt}, 1},
        {"quantity 0", {"p", "1", "EUR", std::nullopt, std::nullopt}, 0},
        {"price beyond int64", {"p", "10000000000000", "EUR", std::nullopt, std::nullopt}, 1},
        {"value beyond int64", {"p", "5000000000000", "EUR", std::nullopt, std::nullopt}, 2},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(purchaseEventParameters(&c.product, c.quantity, "o", "o", std::nullopt, items))
            << c.name;
}

// The process keeps its answer, and decides it again after a reset of the shared instances (which
// also forgets a device model a test set), so that one test's answer never reaches the next.
TEST(OriginalApplicationVersion, IsDecidedAgainAfterAReset) {
    platform::resetSharedInstances();
    platform::WDLAppEnvironmentUtil::setDeviceModel("iPhone15,2");
    EXPECT_FALSE(KLVOriginalApplicationVersionMatches());  // the test bundle has no receipt
    platform::WDLAppEnvironmentUtil::setDeviceModel("x86_64");
    EXPECT_FALSE(KLVOriginalApplicationVersionMatches());
    platform::resetSharedInstances();
    platform::WDLAppEnvironmentUtil::setDeviceModel("x86_64");
    EXPECT_TRUE(KLVOriginalApplicationVersionMatches());  // a simulator's
    platform::resetSharedInstances();
}

TEST(OriginalApplicationVersion, Matches) {
    auto receipt = [](Bytes value) {
        Bytes out = {0x99, 0x30, 0x10, 0x02, 0x01, 0x13, 0x02, 0x01, 0x01, 0x04};
        out.push_back(static_cast<std::uint8_t>(value.size()));
        for (std::uint8_t byte : value)
            out.push_back(byte);
        out.push_back(0x00);
        return out;
    };
    const Bytes v12 = receipt({0x0C, 0x03, '1', '.', '2'});
    EXPECT_TRUE(KLVComputeOriginalApplicationVersionMatches(v12, false, false, "1.2"));
    EXPECT_FALSE(KLVComputeOriginalApplicationVersionMatches(v12, false, false, "1.3"));
    EXPECT_TRUE(KLVComputeOriginalApplicationVersionMatches(std::nullopt, true, false, "1.3"));
    EXPECT_TRUE(KLVComputeOriginalApplicationVersionMatches(std::nullopt, false, true, "1.3"));
    EXPECT_FALSE(KLVComputeOriginalApplicationVersionMatches(std::nullopt, false, false, "1.2"));
    EXPECT_FALSE(KLVComputeOriginalApplicationVersionMatches(Bytes{}, false, false, "1.2"));
    EXPECT_FALSE(
        KLVComputeOriginalApplicationVersionMatches(receipt({0x0C, 0x00}), false, false, ""));
#if defined(__x86_64__)
    // An x86_64 build counts as a simulator.
    EXPECT_TRUE(KLVOriginalApplicationVersionMatches());
#endif
    // Wrong header bytes only log; the text still decides.
    EXPECT_TRUE(KLVComputeOriginalApplicationVersionMatches(receipt({0x13, 0x09, '1', '.', '2'}),
                                                            false, false, "1.2"));
}

class LifetimeValueTest : public DatabaseEventTest {
  protected:
    bool record(const char* name, KLVParameters parameters) {
        const auto event = KLVEvent::initWithOrigin(
            "app", false, name, platform::Clock::current().now(), 0, parameters);
        EXPECT_TRUE(event) << name;
        return event && KLVLifetimeValueRecorder::recordLifetimeValueToDatabase(*database_, *event);
    }
    std::map<std::string, std::int64_t> totals() {
        std::map<std::string, std::int64_t> out;
        for (const auto& a : database_->allLifetimeValueUserAttributes().value_or(
                 std::vector<KLVUserAttribute>{})) {
            EXPECT_EQ(a.origin(), "auto");
            out[a.name()] = a.value().int64Value();
        }
        return out;
    }
};

KLVParameters money(KLVValue currency, KLVValue value) {
    return {{"currency", std::move(currency)}, {"value", std::move(value)}};
}

TEST_F(LifetimeValueTest, RecordsPerCurrency) {
    using V = KLVValue;
    const std::tuple<const char*, const char*, KLVValue, bool> steps[] = {
        {"purchase", "eur", V::initWithDouble(9.99), true},
        {"refund", "USD", V::initWithInt64(5), true},
        {"_iap", "EUR", V::initWithInt64(1980000), true},
        {"ecommerce_purchase", "EU", V::initWithDouble(1), true},  // no three-letter code: skipped
        {"purchase", "EURO", V::initWithDouble(1), true},
        {"purchase", "EUR", V::initWithString("1"), true},
        {"purchase", "EUR", V::initWithDouble(1e13), false},  // beyond int64 micros
        {"level_up", "EUR", V::initWithDouble(1), true},
        {"_iap", "EUR", V::initWithInt64(INT64_MAX), false},
    };
    for (const auto& [name, currency, value, answer] : steps) {
        clock_.advance(1);
        EXPECT_EQ(record(name, money(V::initWithString(currency), value)), answer) << name;
    }
    EXPECT_EQ(totals(), (std::map<std::string, std::int64_t>{{"_ltv_EUR", 11970000},
                                                             {"_ltv_USD", -5000000}}));
    EXPECT_GE(logCount(22000), 2u);
    EXPECT_GE(logCount(22001), 1u);
    EXPECT_GE(logCount(22002), 2u);
}

TEST_F(LifetimeValueTest, FifthCurrencyEvictsTheOldest) {
    for (const char* currency : {"AAA", "BBB", "CCC", "DDD", "AAA", "EEE"}) {
        clock_.advance(1);
        ASSERT_TRUE(
            record("_iap", money(KLVValue::initWithString(currency), KLVValue::initWithInt64(1))));
    }
    // AAA was set again after BBB, so BBB is the one set longest ago.
    EXPECT_EQ(totals(), (std::map<std::string, std::int64_t>{
                            {"_ltv_AAA", 2}, {"_ltv_CCC", 1}, {"_ltv_DDD", 1}, {"_ltv_EEE", 1}}));
}

TEST_F(LifetimeValueTest, PurchaseFilterDropsKnownKeys) {
    using T = platform::SKPaymentTransaction;
    const std::vector<T> batch = {
        T{T::Purchased, "a", std::nullopt, std::nullopt, "gold", 1, std::nullopt},
        T{T::Restored, "b", std::nullopt, std::nullopt, "gold", 1, std::nullopt},
        T{T::Purchased, "a", std::nullopt, std::nullopt, "gold", 1, std::nullopt},
        T{T::Purchased, "0-0", std::nullopt, std::nullopt, "zero", 1, std::nullopt},
        T{T::Purchased, "c", std::nullopt, std::nullopt, "plus", 1, std::nullopt},
    };
    auto ids = [](const std::vector<T>& kept) {
        std::vector<std::string> out;
        for (const auto& t : kept)
            out.push_back(t.productIdentifier + ":" + t.transactionIdentifier.value_or("-"));
        return out;
    };
    EXPECT_EQ(ids(KLVFilterPurchaseTransactions(*database_, batch)),
              (std::vector<std::string>{"gold:a", "zero:0-0", "plus:c"}));
    EXPECT_EQ(logCount(23141), 1u);
    // Seen before: only the unchecked one passes again.
    EXPECT_EQ(ids(KLVFilterPurchaseTransactions(*database_, batch)),
              (std::vector<std::string>{"zero:0-0"}));
}

TEST(TransactionFingerprint, Rules) {
    using T = platform::SKPaymentTransaction;
    auto tx = [](T::State state, std::optional<std::string> id) {
        T t;
        t.transactionState = state;
        t.transactionIdentifier = std::move(id);
        t.errorCode = 5;
        return t;
    };
    const struct {
        T transaction;
        std::optional<std::string> key;
    } cases[] = {
        {tx(T::Purchased, "1000"), "a9b7ba70783b617e9998dc4dd82eb3c5"},
        {tx(T::Restored, "1000"), std::nullopt},
        {tx(T::Purchased, std::nullopt), std::nullopt},
        {tx(T::Purchased, ""), std::nullopt},
        {tx(T::Purchased, "000-00"), std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KLVInAppPurchaseTransactionReporter::transactionFingerprint(&c.transaction),
                  c.key);
    EXPECT_FALSE(KLVInAppPurchaseTransactionReporter::transactionFingerprint(nullptr));
    EXPECT_EQ(KLVInAppPurchaseTransactionReporter::ia5StringFromDate(1'700'000'000.9),
              "2023-11-14T22:13:20Z");
}

class ReporterTest : public DatabaseEventTest {
  protected:
    void SetUp() override {
        DatabaseEventTest::SetUp();
        fixture_ = std::make_shared<platform::SKStoreFixture>();
        fixture_->catalogue = {platform::SKProduct{"gold", "0.99", "EUR", "Gold", std::nullopt},
                               platform::SKProduct{"plus", "4.99", "EUR", "Plus", std::nullopt},
                               platform::SKProduct{"silver", "1", "EUR", "Silver", std::nullopt}};
        platform::SKStoreFixture::install(fixture_);
        KLVInAppPurchaseTransactionReporter::Environment environment;
        environment.queue = &queue_;
        environment.cache = cache_;
        environment.readReceipt = [this] { return receipt_; };
        environment.isSandboxReceipt = [] { return true; };
        environment.logEvent = [this](const std::string& origin, const std::string& name,
                                      KLVParameters parameters) {
            std::lock_guard lock(mutex_);
            logged_.push_back({origin + " " + name, parameters});
            if (logged_.size() == expected_) done_.set_value();
        };
        reporter_ = KLVInAppPurchaseTransactionReporter::create(environment);
    }
    void TearDown() override {
        platform::SKStoreFixture::install(nullptr);
        DatabaseEventTest::TearDown();
    }
    // Waits for `count` events.
    std::vector<std::pair<std::string, KLVParameters>> wait(std::size_t count) {
        auto future = done_.get_future();
        {
            std::lock_guard lock(mutex_);
            expected_ = count;
            if (logged_.size() >= count) return logged_;
        }
        future.wait();
        std::lock_guard lock(mutex_);
        return logged_;
    }

    std::shared_ptr<platform::SKStoreFixture> fixture_;
    platform::SerialQueue queue_{"test.reports"};
    std::shared_ptr<KLVInAppPurchaseProductCache> cache_ = KLVInAppPurchaseProductCache::create();
    std::optional<platform::Data> receipt_;
    std::shared_ptr<KLVInAppPurchaseTransactionReporter> reporter_;
    std::mutex mutex_;
    std::size_t expected_ = 0;
    std::promise<void> done_;
    std::vector<std::pair<std::string, KLVParameters>> logged_;
};

TEST_F(ReporterTest, PaymentQueueBatchIsStoredAsPurchaseWithLifetimeValue) {
    receipt_ = join({recordStart(), text(1702, "gold"), text(1703, "t1"), text(1705, "t1"),
                     integer(1707, {1}), date(1704, "2023-11-14T22:13:20Z"), recordStart(),
                     text(1702, "plus"), text(1703, "t3"), text(1705, "t2"), integer(1707, {3}),
                     date(1704, "2023-12-14T22:13:20Z"), recordStart(), text(1702, "plus"),
                     text(1703, "t2"), text(1705, "t2"), integer(1707, {3}), integer(1713, {1}),
                     date(1704, "2023-11-14T22:13:20Z")});
    using T = platform::SKPaymentTransaction;
    const std::vector<T> batch = {
        T{T::Restored, "r", "r", 1'700'000'000.0, "gold", 1, std::nullopt},
        T{T::Purchased, "t1", std::nullopt, 1'700'000'000.5, "gold", 2, std::nullopt},
        T{T::Purchased, "t3", "t2", 1'702'592'000.25, "plus", 1, std::nullopt},
        T{T::Purchased, "t9", "t9", 1'700'000'000.0, "silver", 1, std::nullopt},  // not in receipt
    };
    reporter_->paymentQueue(batch);
    const auto events = wait(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].first, "auto _iap");
    EXPECT_EQ(
        testing::plain(events[0].second),
        testing::plain(KLVParameters{{"product_id", KLVValue::initWithString("gold")},
                                     {"price", KLVValue::initWithInt64(990000)},
                                     {"value", KLVValue::initWithInt64(1980000)},
                                     {"quantity", KLVValue::initWithInt64(2)},
                                     {"currency", KLVValue::initWithString("EUR")},
                                     {"product_name", KLVValue::initWithString("Gold")},
                                     {"_did", KLVValue::initWithInt64(KLVPurchaseDeduplicationID(
                                                  "t1", std::nullopt, "gold"))}}));
    EXPECT_EQ(events[1].first, "auto _assc");
    EXPECT_FALSE(events[1].second.contains("sub_convert"));
    EXPECT_EQ(events[2].first, "auto _iapx");
    EXPECT_FALSE(events[2].second.contains("invalid"));
    EXPECT_EQ(events[2].second.at("sandbox").int64Value(), 1);
}

TEST_F(ReporterTest, FieldByFieldReportPrependsAMissingItem) {
    receipt_ = join({recordStart(), text(1702, "gold"), text(1703, "t1"), text(1705, "t1"),
                     integer(1707, {1}), date(1704, "2023-11-14T22:13:20Z")});
    // Listed in the receipt: no item added; not listed: one item in front, dated to the second.
    reporter_->reportTransactionWithProductID({.productID = "gold",
                                               .transactionID = "t1",
                                               .originalTransactionID = "t1",
                                               .productType = 1,
                                               .quantity = 1,
                                               .purchaseDate = 1'700'000'000.7});
    reporter_->reportTransactionWithProductID({.productID = "plus",
                                               .transactionID = "s1",
                                               .originalTransactionID = "s1",
                                               .webOrderLineItemID = 42,
                                               .productType = 3,
                                               .isFreeTrial = true,
                                               .quantity = 1,
                                               .purchaseDate = 1'700'000'100.7});
    const auto events = wait(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].first, "auto _iap");
    EXPECT_EQ(events[0].second.at("_did").int64Value(),
              KLVPurchaseDeduplicationID("t1", std::nullopt, "gold"));
    // The added item alone makes "plus" a valid first free-trial purchase.
    EXPECT_EQ(events[1].first, "auto _iap");
    EXPECT_FALSE(events[1].second.contains("invalid"));
    EXPECT_EQ(events[1].second.at("free_trial").int64Value(), 1);
    EXPECT_EQ(events[1].second.at("_did").int64Value(),
              KLVPurchaseDeduplicationID("s1", 42, "plus"));
}

}  // namespace
}  // namespace engine
