// Store purchases end to end: through the payment queue or the public transaction call, the
// front door, the service's duplicate filter, the purchase reporter and the event write, into a
// stored purchase event and the lifetime value.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "engine/base/EngineTestSupport.h"
#include "engine/frontdoor/KLVAnalytics.h"
#include "engine/frontdoor/TarnwellAnalytics.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/purchases/KLVPurchaseParameters.h"
#include "engine/purchases/PurchasesTestSupport.h"
#include "engine/settings/SettingsTestSupport.h"
#include "platform/foundation/FileSystem.h"
#include "platform/storekit/SKPaymentQueue.h"

namespace engine {
namespace {

using platform::SKPaymentTransaction;
using ::testing::ElementsAre;

constexpr char kAppID[] = "1:1001:ios:abc";

class PurchasesEndToEndTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        const auto bundle = dataRoot() / "bundle";
        testing::useMainBundle(bundle, {});
        // The receipt lists the two one-time purchases "p1" and "p2" of the coin pack.
        const auto receipt = testing::join(
            {testing::recordStart(), testing::text(1702, "coins"), testing::text(1703, "p1"),
             testing::text(1705, "p1"), testing::integer(1707, {1}), testing::recordStart(),
             testing::text(1702, "coins"), testing::text(1703, "p2"), testing::text(1705, "p2"),
             testing::integer(1707, {1})});
        std::filesystem::create_directories(bundle / "StoreKit");
        ASSERT_TRUE(platform::writeFileAtomically(bundle / "StoreKit" / "receipt", receipt));

        store_ = std::make_shared<platform::SKStoreFixture>();
        store_->catalogue = {
            {"coins", "4.99", "USD", "Coin pack", std::nullopt},
            {"plus", "2.50", "USD", "Plus", platform::SKProductDiscount{"0", 2}},
        };
        platform::SKStoreFixture::install(store_);

        KLVMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false, std::nullopt);
        service_ = KLVMeasurement::sharedInstance();
        ASSERT_TRUE(service_);
        KLVAnalytics::startWithAppID(kAppID, "qd", {});
        KLVAnalytics::waitForQueues();
        service_->scheduler()->workerQueue()->sync([] {});
        forgetFirstOpen(*service_);
        KLVAnalytics::addLogEventListener([this](const KLVEvent& event) {
            std::lock_guard lock(mutex_);
            if (event.origin() == "auto" && event.name().starts_with("_iap")) {
                purchases_.push_back(event.name());
                arrived_.notify_all();
            }
        });
        KLVAnalytics::waitForQueues();
    }
    void TearDown() override {
        platform::SKStoreFixture::install(nullptr);
        testkit::drain(platform::globalQueue());
        EngineTest::TearDown();
    }

    // Waits until `count` purchase events have been written (the listeners hear of an event
    // after its write); false when they never come.
    bool waitForPurchases(std::size_t count) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, std::chrono::seconds(60),
                                 [&] { return purchases_.size() >= count; });
    }
    std::vector<std::pair<std::string, KLVParameters>> stored() {
        std::vector<std::pair<std::string, KLVParameters>> out;
        service_->scheduler()->workerQueue()->sync([&] {
            auto& db = *service_->database();
            const auto rows = db.sqliteStore().recordsForQuery(
                "SELECT rowid, * FROM raw_events ORDER BY rowid", {});
            for (const auto& row : rows.value())
                if (const auto raw = db.rawEventDataFromDictionary(row))
                    if (raw->rawEvent().name().starts_with("_"))
                        out.emplace_back(raw->rawEvent().name(), raw->rawEvent().parameters());
        });
        return out;
    }
    std::optional<std::int64_t> lifetimeValue(const std::string& name) {
        std::optional<std::int64_t> value;
        service_->scheduler()->workerQueue()->sync([&] {
            if (const auto attribute = service_->database()->userAttributeWithName(name))
                value = attribute->value().int64Value();
        });
        return value;
    }
    static SKPaymentTransaction purchase(std::string id) {
        return {SKPaymentTransaction::Purchased, id, id, 1'700'000'000.5, "coins", 1, {}};
    }

    testkit::ScopedManualClock clock_{1'700'000'100.0};
    std::shared_ptr<platform::SKStoreFixture> store_;
    std::shared_ptr<KLVMeasurement> service_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> purchases_;
};

TEST_F(PurchasesEndToEndTest, PaymentQueuePurchaseIsStoredOnceWithLifetimeValue) {
    ASSERT_TRUE(platform::SKPaymentQueue::defaultQueue().hasTransactionObserver(
        &KLVAnalytics::sharedInstance()));
    SKPaymentTransaction restored = purchase("r1");
    restored.transactionState = SKPaymentTransaction::Restored;
    platform::SKStoreFixture::pushTransactions({restored, purchase("p1")});
    ASSERT_TRUE(waitForPurchases(1));
    // The same purchase announced again is dropped by its fingerprint; the next one is new.
    platform::SKStoreFixture::pushTransactions({purchase("p1"), purchase("p2")});
    ASSERT_TRUE(waitForPurchases(2));

    const auto events = stored();
    ASSERT_EQ(events.size(), 2u);
    const auto i = [](std::int64_t v) { return KLVValue::initWithInt64(v); };
    const auto s = [](const char* v) { return KLVValue::initWithString(v); };
    // Listed in the receipt: a purchase, not "_iapx".
    EXPECT_EQ(events[0].first, "_iap");
    EXPECT_EQ(events[0].second.at("product_id"), s("coins"));
    EXPECT_EQ(events[0].second.at("price"), i(4'990'000));
    EXPECT_EQ(events[0].second.at("value"), i(4'990'000));
    EXPECT_EQ(events[0].second.at("currency"), s("USD"));
    EXPECT_EQ(events[0].second.at("quantity"), i(1));
    EXPECT_EQ(events[1].first, "_iap");
    EXPECT_EQ(lifetimeValue("_ltv_USD"), 9'980'000);
    EXPECT_EQ(logCount(23141), 1u);
}

TEST_F(PurchasesEndToEndTest, NothingIsReportedWhileCollectionIsOff) {
    KLVAnalytics::setAnalyticsEnabled(false);
    KLVAnalytics::waitForQueues();
    platform::SKStoreFixture::pushTransactions({purchase("p1")});
    KLVAnalytics::waitForQueues();
    service_->scheduler()->workerQueue()->sync([] {});
    testkit::drain(platform::globalQueue());
    EXPECT_TRUE(stored().empty());
    EXPECT_FALSE(lifetimeValue("_ltv_USD"));
}

TEST_F(PurchasesEndToEndTest, NewerStoreTransactionsThroughThePublicCall) {
    platform::StoreKitTransaction coins;
    coins.id = 10'000'000'001;
    coins.originalID = 10'000'000'001;
    coins.productID = "coins";
    coins.productType = platform::StoreKitProductType::consumable;
    coins.purchasedQuantity = 2;
    coins.purchaseDate = 1'700'000'000.75;
    coins.originalPurchaseDate = coins.purchaseDate;
    reportTransaction(coins);
    ASSERT_TRUE(waitForPurchases(1));

    // A free trial of the subscription: its offer is read on systems that carry it.
    platform::StoreKitTransaction trial = coins;
    trial.id = trial.originalID = 20'000'000'002;
    trial.productID = "plus";
    trial.productType = platform::StoreKitProductType::autoRenewable;
    trial.purchasedQuantity = 1;
    trial.webOrderLineItemID = 5;
    trial.offer = platform::StoreKitOffer{platform::StoreKitOffer::OfferType::introductory,
                                          platform::StoreKitOffer::PaymentMode::freeTrial};
    reportTransaction(trial);
    ASSERT_TRUE(waitForPurchases(2));
    store_->olderSystem = true;
    trial.id = trial.originalID = 30'000'000'003;
    reportTransaction(trial);
    ASSERT_TRUE(waitForPurchases(3));

    const auto events = stored();
    ASSERT_EQ(events.size(), 3u);
    const auto i = [](std::int64_t v) { return KLVValue::initWithInt64(v); };
    // Identifiers travel as plain decimal text.
    EXPECT_EQ(events[0].second.at("_did"),
              i(KLVPurchaseDeduplicationID("10000000001", std::nullopt, "coins")));
    EXPECT_EQ(events[0].second.at("value"), i(9'980'000));
    EXPECT_EQ(events[1].second.at("_did"), i(KLVPurchaseDeduplicationID("20000000002", 5, "plus")));
    EXPECT_EQ(events[1].second.at("free_trial"), i(1));
    EXPECT_EQ(events[1].second.at("subscription"), i(1));
    EXPECT_EQ(events[1].second.at("value"), i(0));
    EXPECT_FALSE(events[2].second.contains("free_trial"));
    EXPECT_EQ(events[2].second.at("value"), i(2'500'000));
    EXPECT_EQ(lifetimeValue("_ltv_USD"), 12'480'000);
}

TEST(TarnwellAnalytics, ProductTypeCodes) {
    using T = platform::StoreKitProductType;
    EXPECT_THAT(
        (std::vector<std::int64_t>{productTypeCode(T::nonConsumable),
                                   productTypeCode(T::consumable), productTypeCode(T::nonRenewable),
                                   productTypeCode(T::autoRenewable), productTypeCode(T::other)}),
        ElementsAre(0, 1, 2, 3, 0));
}

}  // namespace
}  // namespace engine
