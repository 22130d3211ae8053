#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/settings/SettingsTestSupport.h"
#include "platform/foundation/FileSystem.h"
#include "testkit/ManualClock.h"

namespace engine {
namespace {

using platform::Dictionary;

// A real service on a real database, under a manual clock.
class PurchaseWriteTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        KLVMeasurement::initializeSharedInstanceWithAppID("1:1001:ios:abc", true, false,
                                                          std::nullopt);
        service_ = KLVMeasurement::sharedInstance();
        ASSERT_TRUE(service_);
        onWorker([] {});
        forgetFirstOpen(*service_);
    }
    template <typename F>
    void onWorker(F f) {
        service_->scheduler()->workerQueue()->sync([&] { f(); });
    }
    void log(const std::string& name, Dictionary parameters) {
        service_->logEventWithOrigin("app", true, name, parameters, clock_->now(), true, false,
                                     false, nullptr, {});
        onWorker([] {});
    }
    std::int64_t rows() {
        std::int64_t n = -1;
        onWorker([&] {
            n = service_->database()
                    ->sqliteStore()
                    .numberForQuery("SELECT COUNT(*) FROM raw_events", {})
                    .value()
                    .asInteger();
        });
        return n;
    }
    std::optional<std::int64_t> lifetimeValue(const std::string& name) {
        std::optional<std::int64_t> value;
        onWorker([&] {
            if (const auto attribute = service_->database()->userAttributeWithName(name))
                value = attribute->value().int64Value();
        });
        return value;
    }

    testkit::ScopedManualClock clock_;
    std::shared_ptr<KLVMeasurement> service_;
};

TEST_F(PurchaseWriteTest, LifetimeValueIsPartOfTheEventWrite) {
    log("purchase", {{"value", 9.99}, {"currency", "eur"}});
    EXPECT_EQ(rows(), 1);
    EXPECT_EQ(lifetimeValue("_ltv_EUR"), 9'990'000);

    // 1e19 millionths leave int64: the whole write fails and the total stays.
    log("purchase", {{"value", 1e13}, {"currency", "EUR"}});
    EXPECT_EQ(rows(), 1);
    EXPECT_EQ(lifetimeValue("_ltv_EUR"), 9'990'000);
    EXPECT_NE(logLine(23053).find("Cannot record lifetime value of event. Name, currency code, "
                                  "transaction value"),
              std::string::npos);

    // A malformed currency records nothing but keeps the event.
    log("refund", {{"value", std::int64_t{5}}, {"currency", "USDX"}});
    log("refund", {{"value", std::int64_t{5}}, {"currency", "USD"}});
    EXPECT_EQ(rows(), 3);
    EXPECT_EQ(lifetimeValue("_ltv_USD"), -5'000'000);
}

TEST_F(PurchaseWriteTest, SandboxReceiptMarksPurchasesAtBundling) {
    const auto event = [](const std::string& name) {
        auto made = KLVEvent::initWithOrigin("auto", false, name, 1, 0,
                                             Dictionary{{"value", 1}, {"currency", "USD"}});
        made->setConversion(true);
        return *made;
    };
    EXPECT_FALSE(service_->validatePurchaseEvent(event("_iap")).parameters().contains("sandbox"));

    const auto bundle = dataRoot() / "bundle";
    testing::useMainBundle(bundle, {});
    std::filesystem::create_directories(bundle / "StoreKit");
    ASSERT_TRUE(platform::writeFileAtomically(bundle / "StoreKit" / "sandboxReceipt", "r"));
    const KLVEvent marked = service_->validatePurchaseEvent(event("_iap"));
    EXPECT_EQ(marked.parameters().at("sandbox"), KLVValue::initWithInt64(1));
    EXPECT_EQ(marked.parameters().at("value"), KLVValue::initWithInt64(1));
    EXPECT_TRUE(marked.isConversion());
    EXPECT_FALSE(
        service_->validatePurchaseEvent(event("purchase")).parameters().contains("sandbox"));
}

}  // namespace
}  // namespace engine
