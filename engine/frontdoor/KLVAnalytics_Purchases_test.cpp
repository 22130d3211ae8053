// Store purchases end to end: through the payment queue or the public transaction call, the
// front door, the service's duplicate filter, the purchase reporter and the event write, into a
// stored purchase event and the lifetime value.

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

namespace engine {
namespace {

using namespace testing;
using platform::SKPaymentTransaction;

KLVValue i(std::int64_t v) {
    return KLVValue::initWithInt64(v);
}

class PurchasesEndToEndTest : public LiveServiceTest {
  protected:
    void SetUp() override {
        LiveServiceTest::SetUp();
        useMainBundle(bundle_, {});
        // The receipt lists the one-time purchases "p1" and "p2" of the coin pack.
        std::filesystem::create_directories(bundle_ / "StoreKit");
        ASSERT_TRUE(platform::writeFileAtomically(
            bundle_ / "StoreKit" / "receipt",
            join({recordStart(), text(1702, "coins"), text(1703, "p1"), text(1705, "p1"),
                  integer(1707, {1}), recordStart(), text(1702, "coins"), text(1703, "p2"),
                  text(1705, "p2"), integer(1707, {1})})));
        store_->catalogue = {{"coins", "4.99", "USD", "Coin pack", std::nullopt},
                             {"plus", "2.50", "USD", "Plus", std::nullopt}};
        platform::SKStoreFixture::install(store_);

        holdExperimentFetch();
        KLVMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false, std::nullopt);
        ASSERT_TRUE(service_ = KLVMeasurement::sharedInstance());
        KLVAnalytics::startWithAppID(kAppID, "qd", {});
        KLVAnalytics::waitForQueues();
        forgetFirstOpen(*service_);
        // Listeners hear of an event after its write.
        KLVAnalytics::addLogEventListener([this](const KLVEvent& event) {
            std::lock_guard lock(mutex_);
            if (event.name().starts_with("_iap")) ++purchases_;
            arrived_.notify_all();
        });
    }
    void TearDown() override {
        platform::SKStoreFixture::install(nullptr);
        testkit::drain(platform::globalQueue());
        LiveServiceTest::TearDown();
    }

    bool waitForPurchases(int count) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, std::chrono::seconds(60),
                                 [&] { return purchases_ >= count; });
    }
    std::vector<std::pair<std::string, KLVParameters>> stored() {
        std::vector<std::pair<std::string, KLVParameters>> out;
        for (const auto& raw : storedRawEvents(*service_))
            out.emplace_back(raw.rawEvent().name(), raw.rawEvent().parameters());
        return out;
    }
    std::optional<std::int64_t> lifetimeValue(const std::string& name) {
        std::optional<std::int64_t> value;
        onWorker([&](KLVMeasurement& s) {
            if (const auto attribute = s.database()->userAttributeWithName(name))
                value = attribute->value().int64Value();
        });
        return value;
    }
    static SKPaymentTransaction purchase(std::string id) {
        return {SKPaymentTransaction::Purchased, id, id, 1'700'000'000.5, "coins", 1, {}};
    }

    const std::filesystem::path bundle_ = dataRoot() / "bundle";
    std::shared_ptr<platform::SKStoreFixture> store_ = std::make_shared<platform::SKStoreFixture>();
    std::mutex mutex_;
    std::condition_variable arrived_;
    int purchases_ = 0;
};

TEST_F(PurchasesEndToEndTest, PaymentQueuePurchaseIsStoredOnceWithLifetimeValue) {
    SKPaymentTransaction restored = purchase("r1");
    restored.transactionState = SKPaymentTransaction::Restored;
    platform::SKStoreFixture::pushTransactions({restored, purchase("p1")});
    ASSERT_TRUE(waitForPurchases(1));
    // The same purchase announced again is dropped by its fingerprint; the next one is new.
    platform::SKStoreFixture::pushTransactions({purchase("p1"), purchase("p2")});
    ASSERT_TRUE(waitForPurchases(2));

    const auto events = stored();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].first, "_iap");  // listed in the receipt: not "_iapx"
    EXPECT_EQ(events[1].first, "_iap");
    const KLVParameters expected = {{"_c", i(1)},
                                    {"_o", KLVValue::initWithString("auto")},
                                    {"price", i(4990000)},
                                    {"value", i(4990000)},
                                    {"quantity", i(1)},
                                    {"currency", KLVValue::initWithString("USD")},
                                    {"product_id", KLVValue::initWithString("coins")},
                                    {"product_name", KLVValue::initWithString("Coin pack")}};
    EXPECT_EQ(events[0].second, expected);
    EXPECT_EQ(lifetimeValue("_ltv_USD"), 9'980'000);
    EXPECT_EQ(logCount(23141), 1u);

    // An amount beyond int64 fails the whole write (23053) and keeps the total.
    log("purchase", {{"value", 1e13}, {"currency", "USD"}});
    EXPECT_EQ(stored().size(), 2u);
    EXPECT_EQ(lifetimeValue("_ltv_USD"), 9'980'000);
    EXPECT_EQ(logCount(23053), 1u);

    // At bundling, a purchase made with the store's test receipt is marked.
    ASSERT_TRUE(platform::writeFileAtomically(bundle_ / "StoreKit" / "sandboxReceipt", "r"));
    auto bundled = service_->validatePurchaseEvent(*KLVEvent::initWithOrigin(
        "auto", false, "_iap", 1, 0, platform::Dictionary{{"value", 1}, {"currency", "USD"}}));
    EXPECT_EQ(bundled.parameters().at("sandbox"), i(1));
}

TEST_F(PurchasesEndToEndTest, NewerStoreTransactionsThroughThePublicCall) {
    platform::StoreKitTransaction coins;
    coins.id = coins.originalID = 10'000'000'001;
    coins.productID = "coins";
    coins.purchasedQuantity = 2;
    coins.purchaseDate = coins.originalPurchaseDate = 1'700'000'000.75;
    reportTransaction(coins);
    ASSERT_TRUE(waitForPurchases(1));
    // A free trial of the subscription: its offer is read only on systems that carry it.
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
    // Identifiers travel as plain decimal text.
    EXPECT_EQ(events[0].second.at("_did"),
              i(KLVPurchaseDeduplicationID("10000000001", std::nullopt, "coins")));
    EXPECT_EQ(events[0].second.at("value"), i(9'980'000));
    EXPECT_EQ(events[1].second.at("_did"), i(KLVPurchaseDeduplicationID("20000000002", 5, "plus")));
    EXPECT_EQ(events[1].second.at("free_trial"), i(1));
    EXPECT_EQ(events[1].second.at("value"), i(0));
    EXPECT_FALSE(events[2].second.contains("free_trial"));
    EXPECT_EQ(lifetimeValue("_ltv_USD"), 12'480'000);
}

}  // namespace
}  // namespace engine
