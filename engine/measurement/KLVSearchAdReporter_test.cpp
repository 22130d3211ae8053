#include "engine/measurement/KLVSearchAdReporter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/adsupport/AdServices.h"
#include "platform/net/HttpClient.h"
#include "platform/utilities/WDLAppEnvironmentUtil.h"
#include "testkit/LoopbackServer.h"
#include "testkit/ManualClock.h"

namespace engine {
namespace {

using platform::Dictionary;
using platform::Object;

constexpr char kSearchAdHost[] = "attribution.search.test";

class SearchAdReporterTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        allowDebugLines();
        ASSERT_TRUE(server_.isRunning());
        useLoopbackHost(server_, kSearchAdHost);
        testing::useMainBundle(dataRoot() / "bundle",
                               {{kKLVAttributionHostInfoPlistKey, kSearchAdHost}});
        platform::WDLAppEnvironmentUtil::setDeviceModel("iPhone15,2");
        platform::AAAttribution::setTokenProvider(
            [](platform::Error*) { return std::string("tok"); });
        KLVSetInternalEventLogger([this](const std::string& origin, const std::string& name,
                                         const Dictionary& parameters) {
            events_.push_back(origin + " " + name + " " + Object(parameters).description());
        });
        config_ = KLVPersistedConfig::sharedInstance();
        config_->setFirstOpenTimestampMilliseconds(1000);
    }
    void TearDown() override {
        KLVSetInternalEventLogger({});
        reporter_.reset();
        queue_->sync([] {});
        EngineTest::TearDown();
    }
    void make() {
        reporter_ = KLVSearchAdReporter::initWithWorkerQueue(queue_, config_);
        ASSERT_TRUE(reporter_);
        reporter_->setSearchAdReporterEnabled(true);
    }
    // Starts the reporter and waits until the reply stored an outcome.
    void startAndWait(std::size_t requests = 1) {
        queue_->sync([&] { reporter_->start(); });
        ASSERT_TRUE(server_.waitForRequests(requests));
        waitUntil("an outcome stored", [&] {
            bool stored = false;
            queue_->sync([&] { stored = !config_->searchAdCampaignValue().isNull(); });
            return stored;
        });
    }
    // Lets the worker queue run until `done` holds after it. The guard only ends a test whose
    // reply never comes.
    void waitUntil(const char* what, const std::function<bool()>& done) {
        const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (true) {
            queue_->sync([] {});
            if (done()) return;
            ASSERT_LT(std::chrono::steady_clock::now(), guard) << "never seen: " << what;
        }
    }

    testkit::ScopedManualClock clock_;
    testkit::LoopbackServer server_{{{kSearchAdHost}}};
    std::shared_ptr<platform::SerialQueue> queue_ =
        std::make_shared<platform::SerialQueue>("worker");
    std::shared_ptr<KLVPersistedConfig> config_;
    std::shared_ptr<KLVSearchAdReporter> reporter_;
    std::vector<std::string> events_;
};

TEST_F(SearchAdReporterTest, RefusalsAtConstruction) {
    EXPECT_FALSE(KLVSearchAdReporter::initWithWorkerQueue(nullptr, config_));
    EXPECT_FALSE(KLVSearchAdReporter::initWithWorkerQueue(queue_, nullptr));
    config_->setSearchAdRetryCount(10);
    EXPECT_FALSE(KLVSearchAdReporter::initWithWorkerQueue(queue_, config_));
    config_->setSearchAdRetryCount(0);
    config_->setSearchAdCampaignValue(Object(std::int64_t{0}));
    EXPECT_FALSE(KLVSearchAdReporter::initWithWorkerQueue(queue_, config_));
    EXPECT_EQ(logCount(32002), 1u);
}

TEST_F(SearchAdReporterTest, OffWithoutTheServiceOrOnASimulator) {
    make();
    platform::AAAttribution::setTokenProvider(nullptr);
    queue_->sync([&] { reporter_->start(); });
    EXPECT_EQ(logCount(32014), 1u);
    platform::AAAttribution::setTokenProvider([](platform::Error*) { return std::string("t"); });
    platform::WDLAppEnvironmentUtil::setDeviceModel("x86_64");
    queue_->sync([&] { reporter_->start(); });
    EXPECT_EQ(logCount(32019), 1u);
    EXPECT_TRUE(server_.requests().empty());
}

TEST_F(SearchAdReporterTest, RepliesAndTheirOutcomes) {
    struct Case {
        const char* reply;
        std::int64_t firstOpen;
        std::int64_t stored;
        std::string event;  // "" for none
    };
    const Case cases[] = {
        {R"({"attribution":true,"adId":5,"campaignId":42,"keywordId":7})", 1000, 1,
         R"({"campaign": "42", "click_timestamp": 999, "medium": "search", "source": "Apple", "term": "7"})"},
        {R"({"attribution":false,"campaignId":1})", 1000, 0, ""},
        // No keyword: no term; no first-open time: no click time.
        {R"({"attribution":true,"campaignId":3})", 0, 1,
         R"({"campaign": "3", "medium": "search", "source": "Apple"})"},
    };
    for (const auto& c : cases)
        server_.answer("POST", "/api/v1/", {200, {}, c.reply});
    std::size_t sent = 0;
    for (const auto& c : cases) {
        config_->clearValues();
        config_->setFirstOpenTimestampMilliseconds(c.firstOpen);
        events_.clear();
        make();
        startAndWait(++sent);
        EXPECT_EQ(config_->searchAdCampaignValue(), Object(c.stored)) << c.reply;
        EXPECT_EQ(config_->searchAdRetryCount(), 1) << c.reply;
        EXPECT_EQ(events_, c.event.empty() ? std::vector<std::string>{}
                                           : std::vector<std::string>{"auto _cmp " + c.event})
            << c.reply;
        queue_->sync([&] { EXPECT_FALSE(reporter_->scheduledTimestamp()); });
        // An outcome is stored: never made again.
        EXPECT_FALSE(KLVSearchAdReporter::initWithWorkerQueue(queue_, config_));
    }
    const auto request = server_.requests().at(0);
    EXPECT_EQ(request.body, "tok");
    EXPECT_EQ(*request.header("Content-Type"), "text/plain");
    EXPECT_EQ(*request.header("cache-control"), "no-cache");
}

TEST_F(SearchAdReporterTest, TestDataRetriesDailyUntilTheTenthAttempt) {
    server_.answer(
        "POST", "/api/v1/",
        {200, {}, R"({"attribution":true,"adId":1234567890,"campaignId":"1234567890"})"});
    config_->setSearchAdRetryCount(9);
    make();
    queue_->sync([&] { reporter_->start(); });
    ASSERT_TRUE(server_.waitForRequests(1));
    waitUntil("the last attempt's line", [&] { return logCount(32016) != 0; });
    EXPECT_EQ(logCount(32016), 1u);
    EXPECT_EQ(config_->searchAdRetryCount(), 10);
    // The tenth attempt ended scheduling for good.
    queue_->sync([&] { EXPECT_FALSE(reporter_->scheduledTimestamp()); });
    EXPECT_TRUE(config_->searchAdCampaignValue().isNull());
    EXPECT_TRUE(events_.empty());
}

}  // namespace
}  // namespace engine
