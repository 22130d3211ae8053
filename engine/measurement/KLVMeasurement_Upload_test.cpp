#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/base/KLVDataAdditions.h"
#include "engine/database/KLVDatabase.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/net/HttpClient.h"
#include "testkit/LoopbackServer.h"
#include "testkit/ManualClock.h"

namespace engine {
namespace {

using platform::Dictionary;

constexpr char kAppID[] = "1:1001:ios:abc";
constexpr char kHost[] = "upload.measurement.test";

// A real service whose measurement host is the loopback server, under the manual clock.
class UploadTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        ASSERT_TRUE(server_.isRunning());
        auto& client = platform::HttpClient::shared();
        client.setTrustedCertificates(server_.certificatePEM());
        ASSERT_TRUE(client.setConnectTo(kHost, "127.0.0.1", server_.port()));
        testing::useMainBundle(dataRoot() / "bundle",
                               {{"CFBundleIdentifier", "com.example.tessaline"},
                                {kKLVUploadHostInfoPlistKey, kHost},
                                {kKLVConfigHostInfoPlistKey, kHost}});
        KLVMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false, std::nullopt);
        service_ = KLVMeasurement::sharedInstance();
        ASSERT_TRUE(service_);
        drain();
        ASSERT_TRUE(service_->database());
        forgetFirstOpen(*service_);
        ASSERT_TRUE(service_->network()->isNetworkConnected());
        // Fresh settings: without them an upload fetches the configuration first.
        if (configureAtStart_) configure({});
    }
    void configure(const testing::SettingList& settings) {
        auto config = testing::makeConfig(kAppID, settings);
        onWorker([&](KLVMeasurement& s) {
            ASSERT_TRUE(s.remoteConfigInstance()->updateMeasurementConfig(config));
        });
    }
    void drain() {
        service_->scheduler()->workerQueue()->sync([] {});
    }
    template <typename F>
    void onWorker(F f) {
        service_->scheduler()->workerQueue()->sync([&] { f(*service_); });
    }
    void log(const std::string& name, Dictionary parameters = {}) {
        service_->logEventWithOrigin("app", true, name, parameters, clock_->now(), true, false,
                                     false, nullptr, {});
        drain();
    }
    // Starts an upload and waits until its answer (and any upload it starts) has been handled.
    // The flag is read on the worker queue, where a completion clears it and a chained upload
    // sets it again within one block.
    void upload() {
        run([](KLVMeasurement& s) { s.uploadData(); });
    }
    void fetch() {
        run([](KLVMeasurement& s) { s.fetchRemoteConfig(); });
    }
    template <typename F>
    void run(F start) {
        onWorker(start);
        settle();
    }
    // Waits until the answer to the request under way has been handled, so that no completion
    // still runs on the worker queue when the test resets the process's shared instances.
    void settle() {
        bool pending = true;
        for (int i = 0; i < 1000000 && pending; ++i)
            onWorker([&](KLVMeasurement& s) { pending = s.isNetworkRequestPending(); });
        ASSERT_FALSE(pending);
    }
    std::vector<KLVQueuedBundle> queued() {
        std::vector<KLVQueuedBundle> out;
        onWorker([&](KLVMeasurement& s) {
            auto read = s.database()->queryBundlesWithCountLimit(100, 1 << 24);
            ASSERT_TRUE(read);
            out = std::move(*read);
        });
        return out;
    }
    static KLVPBMeasurementBatch decode(const testkit::RecordedRequest& request) {
        const std::vector<std::uint8_t> bytes(request.body.begin(), request.body.end());
        auto batch = KLVPBMeasurementBatch::initWithBuffer(bytes);
        EXPECT_TRUE(batch);
        return batch.value_or(KLVPBMeasurementBatch());
    }
    static std::string header(const testkit::RecordedRequest& request, std::string_view name) {
        const auto* value = request.header(name);
        return value ? *value : "";
    }
    static std::vector<KLVPBMeasurementBundle> bundles(const KLVPBMeasurementBatch& batch) {
        return NANOGetArray<KLVPBMeasurementBundle>(batch, KLVPBMeasurementBatch::bundles)
            .value_or(std::vector<KLVPBMeasurementBundle>{});
    }

    bool configureAtStart_ = true;
    testkit::ScopedManualClock clock_;
    testkit::LoopbackServer server_{{{kHost}}};
    std::shared_ptr<KLVMeasurement> service_;
};

TEST_F(UploadTest, ABatchLeavesTheQueueOnlyOnceTheServerTookIt) {
    log("shop", {{"item", "pen"}, {"n", 2}});
    server_.answer("POST", "/a", {204, {}, "", 0, false});
    upload();

    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/a");
    EXPECT_EQ(header(request, "Content-Type"), "application/x-protobuf");
    EXPECT_EQ(header(request, "Content-Encoding"), "gzip");

    const auto sent = bundles(decode(request));
    ASSERT_EQ(sent.size(), 1u);
    const auto& bundle = sent[0];
    const auto nowMs = static_cast<std::int64_t>(clock_->now() * 1000);
    EXPECT_EQ(NANOGetInt64(bundle, KLVPBMeasurementBundle::upload_timestamp_millis), nowMs);
    EXPECT_EQ(NANOGetInt64(bundle, KLVPBMeasurementBundle::end_timestamp_millis), nowMs);
    EXPECT_EQ(NANOGetInt32(bundle, KLVPBMeasurementBundle::bundle_index), 1);
    EXPECT_FALSE(NANOHasField(bundle, KLVPBMeasurementBundle::bundle_checksum));
    const auto events = NANOGetArray<KLVPBEvent>(bundle, KLVPBMeasurementBundle::events);
    ASSERT_TRUE(events);
    ASSERT_EQ(events->size(), 1u);
    EXPECT_EQ(NANOGetString((*events)[0], KLVPBEvent::name), "shop");

    EXPECT_TRUE(queued().empty());
    auto config = KLVPersistedConfig::sharedInstance();
    EXPECT_EQ(config->lastSuccessfulUploadTimestamp(), clock_->now());
    EXPECT_EQ(config->lastUploadedEventTimestampMillis(), nowMs);
}

TEST_F(UploadTest, FailedAnswersKeepTheBundlesAndRaiseTheirRetryCount) {
    const struct {
        int status;
        bool backoff;
    } cases[] = {{500, false}, {400, false}, {503, true}, {429, true}};
    log("shop");
    // Answers go out in the order scripted.
    for (const auto& c : cases)
        server_.answer("POST", "/a", {c.status, {}, "", 0, false});
    server_.answer("POST", "/a", {200, {}, "garbage", 0, false});
    int attempt = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        ++attempt;
        auto config = KLVPersistedConfig::sharedInstance();
        config->setLastBackoffTimestamp(0);
        upload();
        const auto stored = queued();
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_EQ(NANOGetInt32(stored[0].bundle, KLVPBMeasurementBundle::retry_count), attempt);
        EXPECT_EQ(config->lastFailedUploadTimestamp(), clock_->now());
        EXPECT_EQ(config->lastBackoffTimestamp(), c.backoff ? clock_->now() : 0);
        EXPECT_EQ(server_.requests().size(), static_cast<std::size_t>(attempt));
        clock_->advance(1);
    }
    // The retry count travels with the next attempt.
    upload();
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 5u);
    const auto last = bundles(decode(requests.back()));
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(NANOGetInt32(last[0], KLVPBMeasurementBundle::retry_count), 4);
    EXPECT_TRUE(queued().empty());  // any body with 200 is a success
}

TEST_F(UploadTest, BatchesStopAtAnotherAppID) {
    log("first");
    onWorker([](KLVMeasurement& s) { ASSERT_TRUE(s.bundleRawEvents()); });
    onWorker([](KLVMeasurement& s) {
        KLVPBMeasurementBundle other;
        NANOSetString(other, KLVPBMeasurementBundle::app_id, "1:2:ios:other");
        NANOSetInt64(other, KLVPBMeasurementBundle::end_timestamp_millis,
                     static_cast<std::int64_t>(platform::Clock::current().now() * 1000));
        ASSERT_TRUE(s.database()->insertBundle(other, false));
    });
    log("second");
    server_.answer("POST", "/a", {204, {}, "", 0, false});
    // Each success finds more data and sends the next batch at once: the foreign bundle ends
    // the first batch and travels alone.
    upload();
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 3u);
    std::vector<std::string> apps;
    for (const auto& request : requests) {
        const auto sent = bundles(decode(request));
        ASSERT_EQ(sent.size(), 1u);
        apps.push_back(NANOGetString(sent[0], KLVPBMeasurementBundle::app_id).value_or(""));
    }
    EXPECT_EQ(apps, (std::vector<std::string>{"com.example.tessaline", "1:2:ios:other",
                                              "com.example.tessaline"}));
    EXPECT_TRUE(queued().empty());
}

TEST_F(UploadTest, ChecksumCoversTheStampedBundleWithoutItself) {
    configure({{"measurement.quality.checksum", "1"}});
    log("shop");
    server_.answer("POST", "/a", {204, {}, "", 0, false});
    upload();
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    auto sent = bundles(decode(requests[0]));
    ASSERT_EQ(sent.size(), 1u);
    const std::int64_t checksum = NANOGetInt64(sent[0], KLVPBMeasurementBundle::bundle_checksum);
    NANOClearField(sent[0], KLVPBMeasurementBundle::bundle_checksum);
    EXPECT_EQ(checksum, klv_64LSBMD5(*sent[0].protoBuffer()));
}

TEST_F(UploadTest, NextUploadTimeFollowsSuccessFailureAndDebugMode) {
    const double now = clock_->now();
    log("shop");  // the newest data: now
    const struct {
        const char* what;
        double lastSuccess;
        double lastFailure;
        bool debug;
        double expected;
    } cases[] = {
        {"success 100 s ago: a full interval after it", now - 100, 0, false, now - 100 + 3600},
        {"success two hours ago: the initial delay after the data", now - 7200, 0, false, now + 15},
        {"failure after the data: the first retry", 0, now + 10, false, now + 15 + 1800},
        {"failure later still: doubled retries", 0, now + 4000, false, now + 15 + 1800 + 3600},
        {"failure beyond every retry: nothing planned", 0, now + 200000, false, 0},
        {"debug mode: newest data plus one second", now - 7200, 0, true, now + 1},
    };
    auto config = KLVPersistedConfig::sharedInstance();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        config->setLastSuccessfulUploadTimestamp(c.lastSuccess);
        config->setLastFailedUploadTimestamp(c.lastFailure);
        KLVMeasurementBase::monitor().setDebugModeEnabled(c.debug);
        double next = -1;
        onWorker([&](KLVMeasurement& s) { next = s.nextUploadingTime(); });
        EXPECT_DOUBLE_EQ(next, c.expected);
    }
    KLVMeasurementBase::monitor().setDebugModeEnabled(false);
}

TEST_F(UploadTest, TheAlarmIsArmedKeptPushedByBackOffAndFiresTheUpload) {
    const double now = clock_->now();
    onWorker([](KLVMeasurement& s) { s.updateSchedule(); });
    EXPECT_FALSE(service_->alarm()->hasActiveTimer());  // nothing stored

    log("shop");
    onWorker([](KLVMeasurement& s) { s.updateSchedule(); });
    ASSERT_TRUE(service_->alarm()->scheduledTimestamp());
    EXPECT_DOUBLE_EQ(service_->alarm()->scheduledTimestamp()->secondsSince1970, now + 15);

    // A pending alarm that fires earlier than the new time is kept; armed anew, the alarm waits
    // out the back-off of ten minutes ago.
    KLVPersistedConfig::sharedInstance()->setLastBackoffTimestamp(now - 600);
    onWorker([](KLVMeasurement& s) { s.updateSchedule(); });
    EXPECT_DOUBLE_EQ(service_->alarm()->scheduledTimestamp()->secondsSince1970, now + 15);
    service_->alarm()->cancel();
    onWorker([](KLVMeasurement& s) { s.updateSchedule(); });
    EXPECT_DOUBLE_EQ(service_->alarm()->scheduledTimestamp()->secondsSince1970, now - 600 + 43200);

    // The alarm's block starts the upload on the worker queue.
    KLVPersistedConfig::sharedInstance()->setLastBackoffTimestamp(0);
    service_->alarm()->cancel();
    onWorker([](KLVMeasurement& s) { s.updateSchedule(); });
    server_.answer("POST", "/a", {204, {}, "", 0, false});
    clock_.advance(15);
    ASSERT_TRUE(server_.waitForRequests(1));
    settle();
}

class ConfigDownloadTest : public UploadTest {
  protected:
    void SetUp() override {
        configureAtStart_ = false;
        UploadTest::SetUp();
        // The app ID a configuration must carry, as the front door sets it.
        service_->identity()->setAppIDFromZKT(kAppID);
    }
    static std::string configBody(const std::string& appID, const char* interval) {
        const auto bytes =
            testing::makeConfig(appID, {{"measurement.upload.interval", interval}}).protoBuffer();
        return std::string(bytes->begin(), bytes->end());
    }
    double interval() {
        double out = 0;
        onWorker([&](KLVMeasurement& s) { out = s.remoteConfigInstance()->uploadingInterval(); });
        return out;
    }
    std::string configPath() const { return std::string("/config/app/") + kAppID; }
};

TEST_F(ConfigDownloadTest, AnExpiredConfigurationIsFetchedBeforeTheUpload) {
    log("shop");
    server_.answer("GET", configPath(), {404, {}, "", 0, false});
    server_.answer("POST", "/a", {204, {}, "", 0, false});
    upload();
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, configPath());
    EXPECT_NE(requests[0].query.find("platform=ios"), std::string::npos);
    EXPECT_FALSE(requests[0].header("If-None-Match"));
    EXPECT_FALSE(requests[0].header("If-Modified-Since"));
    EXPECT_EQ(requests[1].path, "/a");
    EXPECT_EQ(bundles(decode(requests[1])).size(), 1u);
    EXPECT_TRUE(queued().empty());
}

TEST_F(ConfigDownloadTest, AnswersUpdateSettingsValidatorsAndFailureTimes) {
    const testkit::ScriptedAnswer stored{
        200,
        {{"ETag", "\"v1\""}, {"Last-Modified", "Mon, 06 Dec 2026 10:00:00 GMT"}},
        configBody(kAppID, "100000"),
        0,
        false};
    const std::string tooBig(KLVMeasurement::kMaximumConfigurationSize + 1, 'x');
    // Only the first answer is taken: every later one leaves interval and validator alone.
    const struct {
        const char* what;
        testkit::ScriptedAnswer answer;
        bool failed;  // recorded as a failed request
        bool backoff;
    } cases[] = {
        {"stored", stored, false, false},
        {"not modified", {304, {}, "", 0, false}, false, false},
        {"empty", {200, {{"ETag", "\"v2\""}}, "", 0, false}, false, false},
        {"foreign app",
         {200, {{"ETag", "\"v3\""}}, configBody("1:9:ios:x", "200000"), 0, false},
         false,
         false},
        {"garbage", {200, {{"ETag", "\"v4\""}}, "\xff\xff\xff", 0, false}, false, false},
        {"over the cap", {200, {{"ETag", "\"v5\""}}, tooBig, 0, false}, false, false},
        {"server error", {500, {}, "", 0, false}, true, false},
        {"unavailable", {503, {}, "", 0, false}, true, true},
        {"not found", {404, {}, "", 0, false}, false, false},
    };
    for (const auto& c : cases)
        server_.answer("GET", configPath(), c.answer);
    auto persisted = KLVPersistedConfig::sharedInstance();
    std::size_t index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        persisted->setLastFailedUploadTimestamp(1);
        persisted->setLastBackoffTimestamp(1);
        fetch();
        const auto requests = server_.requests();
        ASSERT_EQ(requests.size(), ++index);
        if (index > 1) {
            // Every fetch after the first commit is conditional.
            EXPECT_EQ(header(requests.back(), "If-None-Match"), "\"v1\"");
            EXPECT_EQ(header(requests.back(), "If-Modified-Since"),
                      "Mon, 06 Dec 2026 10:00:00 GMT");
        }
        EXPECT_EQ(interval(), 100);
        EXPECT_EQ(persisted->configServerETag(), "\"v1\"");
        EXPECT_EQ(persisted->lastFailedUploadTimestamp(), c.failed ? clock_->now() : 0);
        EXPECT_EQ(persisted->lastBackoffTimestamp(),
                  c.backoff ? clock_->now() : (c.failed ? 1 : 0));
        clock_->advance(1);
    }
}

TEST_F(UploadTest, ARefusedConnectionIsAFailedUploadThatKeepsTheBundles) {
    log("shop");
    server_.stop();
    upload();
    const auto stored = queued();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(NANOGetInt32(stored[0].bundle, KLVPBMeasurementBundle::retry_count), 1);
    auto config = KLVPersistedConfig::sharedInstance();
    EXPECT_EQ(config->lastFailedUploadTimestamp(), clock_->now());
    EXPECT_EQ(config->lastBackoffTimestamp(), 0);
    EXPECT_EQ(config->lastSuccessfulUploadTimestamp(), 0);
}

}  // namespace
}  // namespace engine
