#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/audiences/AudienceTestSupport.h"
#include "engine/base/EngineTestSupport.h"
#include "engine/base/KLVDataAdditions.h"
#include "engine/bundles/BundleTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/experiments/ExperimentsTestSupport.h"
#include "engine/experiments/KLVEManagerImpl.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/script/KLVPEventEditingRuntime.h"
#include "engine/script/KLVPRuntime.h"
#include "engine/script/ScriptTestSupport.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/net/HttpClient.h"
#include "platform/net/Reachability.h"
#include "testkit/LoopbackServer.h"
#include "testkit/ManualClock.h"

namespace engine {
namespace {

using platform::Dictionary;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kUploadHost[] = "upload.measurement.test";

// A real service whose measurement host is the loopback server.
class UploadTest : public LiveServiceTest {
  protected:
    void SetUp() override {
        LiveServiceTest::SetUp();
        ASSERT_TRUE(server_.isRunning());
        useLoopbackHost(server_, kUploadHost);
        testing::useMainBundle(dataRoot() / "bundle",
                               {{"CFBundleIdentifier", "com.example.tessaline"},
                                {kKLVUploadHostInfoPlistKey, kUploadHost},
                                {kKLVConfigHostInfoPlistKey, kUploadHost}});
        startService(std::nullopt, holdExperimentFetch_);
        ASSERT_TRUE(service_->network()->isNetworkConnected());
        // Fresh settings: without them an upload fetches the configuration first.
        if (configureAtStart_) configure({});
    }
    // Starts an upload and waits until its answer (and any upload it starts) has been handled.
    void upload() {
        onWorker([](KLVMeasurement& s) { s.uploadData(); });
        waitForNetworkIdle(*service_);
    }
    void fetch() {
        onWorker([](KLVMeasurement& s) { s.fetchRemoteConfig(); });
        waitForNetworkIdle(*service_);
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
    static std::vector<KLVPBMeasurementBundle> bundles(const testkit::RecordedRequest& request) {
        return testing::bundlesOf(testing::decodeUploadedBatch(request));
    }
    static std::string header(const testkit::RecordedRequest& request, std::string_view name) {
        const auto* value = request.header(name);
        return value ? *value : "";
    }
    // Queues a bundle of this app, ending now, as bundling would have stored it.
    void queue(KLVPBMeasurementBundle bundle) {
        NANOSetString(bundle, KLVPBMeasurementBundle::app_id, kAppID);
        NANOSetInt64(bundle, KLVPBMeasurementBundle::end_timestamp_millis,
                     static_cast<std::int64_t>(clock_->now() * 1000));
        onWorker(
            [&](KLVMeasurement& s) { ASSERT_TRUE(s.database()->insertBundle(bundle, false)); });
    }

    bool configureAtStart_ = true;
    bool holdExperimentFetch_ = true;
    testkit::LoopbackServer server_{{{kUploadHost}}};
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

    const auto sent = bundles(request);
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
    const auto last = bundles(requests.back());
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(NANOGetInt32(last[0], KLVPBMeasurementBundle::retry_count), 4);
    EXPECT_TRUE(queued().empty());  // any body with 200 is a success
}

// The bundle indexes of each request's batch, and their retry counts.
std::vector<std::vector<std::pair<std::int32_t, std::int32_t>>> sentIndexes(
    const std::vector<testkit::RecordedRequest>& requests) {
    std::vector<std::vector<std::pair<std::int32_t, std::int32_t>>> out;
    for (const auto& request : requests) {
        auto& batch = out.emplace_back();
        for (const auto& bundle : testing::bundlesOf(testing::decodeUploadedBatch(request))) {
            batch.emplace_back(NANOGetInt32(bundle, KLVPBMeasurementBundle::bundle_index),
                               NANOGetInt32(bundle, KLVPBMeasurementBundle::retry_count));
        }
    }
    return out;
}

TEST_F(UploadTest, BatchesTakeTheLeadingBundlesInQueueOrderWithinTheCountAndSizeLimits) {
    using Batches = std::vector<std::vector<std::pair<std::int32_t, std::int32_t>>>;
    const std::string padding(3000, 'p');
    struct Case {
        const char* what;
        testing::SettingList settings;
        Batches expected;  // bundle index and retry count, per request
    };
    // Five bundles of about 3 kB each (the third retried twice before), a row that does not
    // decode after the second; the upload goes on while bundles are left.
    const std::vector<Case> cases = {
        {"two rows per batch; the undecodable row counts as one",
         {{"measurement.upload.max_bundles", "2"}},
         {{{1, 0}, {2, 0}}, {{3, 2}}, {{4, 0}}, {{5, 0}}}},
        {"a size for two bundles",
         {{"measurement.upload.max_batch_size", "6500"}},
         {{{1, 0}, {2, 0}}, {{3, 2}, {4, 0}}, {{5, 0}}}},
        {"a size below one bundle: the first is always taken",
         {{"measurement.upload.max_batch_size", "100"}},
         {{{1, 0}}, {{2, 0}}, {{3, 2}}, {{4, 0}}, {{5, 0}}}},
        {"everything at once", {}, {{{1, 0}, {2, 0}, {3, 2}, {4, 0}, {5, 0}}}},
    };
    server_.answer("POST", "/a", {204, {}, "", 0, false});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        configure(c.settings);
        server_.takeRequests();
        for (std::int32_t index = 1; index <= 5; ++index) {
            KLVPBMeasurementBundle bundle;
            NANOSetInt32(bundle, KLVPBMeasurementBundle::bundle_index, index);
            NANOSetString(bundle, KLVPBMeasurementBundle::monitoring_data, padding);
            if (index == 3) NANOSetInt32(bundle, KLVPBMeasurementBundle::retry_count, 2);
            queue(bundle);
            if (index == 2) {
                onWorker([](KLVMeasurement& s) {
                    const KLVDatabase::Record garbage = {{"data", platform::Data{1, 2, 3}},
                                                         {"bundle_end_timestamp", 1.0},
                                                         {"is_realtime", 0},
                                                         {"retry_count", 0}};
                    ASSERT_TRUE(s.database()->sqliteStore().upsertRecord(garbage, "queue"));
                });
            }
        }
        upload();
        EXPECT_EQ(sentIndexes(server_.requests()), c.expected);
        // Only the row that does not decode is left.
        onWorker([](KLVMeasurement& s) {
            EXPECT_EQ(s.database()->sqliteStore().rowCountForTableWithName("queue"), 1);
            s.database()->sqliteStore().deleteRecordsFromTableWithName("queue", "1", {});
        });
    }
}

TEST_F(UploadTest, AFailedBatchRaisesTheRetryCountOfItsOwnBundlesOnly) {
    configure({{"measurement.upload.max_bundles", "2"}});
    for (std::int32_t index = 1; index <= 3; ++index) {
        KLVPBMeasurementBundle bundle;
        NANOSetInt32(bundle, KLVPBMeasurementBundle::bundle_index, index);
        queue(bundle);
    }
    server_.answer("POST", "/a", {500, {}, "", 0, false});
    upload();
    std::vector<std::pair<std::int32_t, std::int32_t>> left;
    for (const auto& q : queued()) {
        left.emplace_back(NANOGetInt32(q.bundle, KLVPBMeasurementBundle::bundle_index),
                          NANOGetInt32(q.bundle, KLVPBMeasurementBundle::retry_count));
    }
    EXPECT_EQ(left, (std::vector<std::pair<std::int32_t, std::int32_t>>{{1, 1}, {2, 1}, {3, 0}}));
    EXPECT_EQ(sentIndexes(server_.requests()),
              (std::vector<std::vector<std::pair<std::int32_t, std::int32_t>>>{{{1, 0}, {2, 0}}}));
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
        const auto sent = bundles(request);
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
    auto sent = bundles(requests[0]);
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
        monitor().setDebugModeEnabled(c.debug);
        double next = -1;
        onWorker([&](KLVMeasurement& s) { next = s.nextUploadingTime(); });
        EXPECT_DOUBLE_EQ(next, c.expected);
    }
    monitor().setDebugModeEnabled(false);
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
    waitForNetworkIdle(*service_);
}

TEST_F(UploadTest, WithoutNetworkTheScheduleWaitsForTheNetworkToReturn) {
    auto& reachability = platform::Reachability::shared();
    reachability.setReachable(false);
    log("shop");
    onWorker([](KLVMeasurement& s) { s.updateSchedule(); });
    EXPECT_FALSE(service_->alarm()->hasActiveTimer());

    // The service is the network's reachability delegate now: the return reschedules.
    reachability.setReachable(true);
    drain();
    ASSERT_TRUE(service_->alarm()->scheduledTimestamp());
    EXPECT_DOUBLE_EQ(service_->alarm()->scheduledTimestamp()->secondsSince1970, clock_->now() + 15);

    // Connected, it is no longer: a later change schedules nothing.
    service_->alarm()->cancel();
    reachability.setReachable(false);
    reachability.setReachable(true);
    drain();
    EXPECT_FALSE(service_->alarm()->hasActiveTimer());
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
        return testing::bytesOf(
            testing::makeConfig(appID, {{"measurement.upload.interval", interval}}));
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
    EXPECT_EQ(requests[0].query,
              "platform=ios&runtime_version=" + std::to_string(KLVPRuntime::runtimeVersion()) +
                  "&zkt_version=" + std::to_string(KLVIdentity::brackenfoldLibraryVersion()));
    EXPECT_FALSE(requests[0].header("If-None-Match"));
    EXPECT_FALSE(requests[0].header("If-Modified-Since"));
    EXPECT_EQ(requests[1].path, "/a");
    EXPECT_EQ(bundles(requests[1]).size(), 1u);
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

TEST_F(UploadTest, BatchesStopAtAnotherDeviceIDAndUnderDMAAtOtherConsent) {
    struct Queued {
        const char* vendorID;
        const char* signals;
    };
    const struct {
        const char* name;
        const char* dma;
        std::vector<Queued> queued;
        std::vector<std::size_t> batchSizes;
    } cases[] = {
        {"bundles of one vendor ID go together",
         "1",
         {{"v1", "G111"}, {"v1", "G111"}, {"v1", "G111"}},
         {3}},
        {"another vendor ID ends the batch",
         "1",
         {{"v1", "G111"}, {"v2", "G111"}, {"v1", "G111"}},
         {1, 1, 1}},
        {"other consent ends the batch under DMA",
         "1",
         {{"v1", "G111"}, {"v1", "G100"}, {"v1", "G100"}},
         {1, 2}},
        {"consent does not cut without DMA",
         "0",
         {{"v1", "G111"}, {"v1", "G100"}, {"v1", "G100"}},
         {3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        configure({{"measurement.upload.dma_consent_enabled", c.dma}});
        const std::size_t before = server_.requests().size();
        for (const auto& q : c.queued) {
            KLVPBMeasurementBundle bundle;
            NANOSetString(bundle, KLVPBMeasurementBundle::vendor_device_id, q.vendorID);
            NANOSetString(bundle, KLVPBMeasurementBundle::consent_signals, q.signals);
            queue(bundle);
        }
        server_.answer("POST", "/a", {204, {}, "", 0, false});
        upload();
        const auto requests = server_.requests();
        std::vector<std::size_t> sizes;
        for (std::size_t i = before; i < requests.size(); ++i)
            sizes.push_back(bundles(requests[i]).size());
        EXPECT_EQ(sizes, c.batchSizes);
        EXPECT_TRUE(queued().empty());
    }
}

TEST_F(UploadTest, DataControlsRedactTheSentBundleAndNameTheRedactions) {
    auto config = testing::makeConfig(kAppID);
    std::vector<KLVPBDataControl> controls;
    for (const char* name : {"app_instance_id", "user_id", "device_info", "enhanced_user_id"}) {
        KLVPBDataControl control;
        NANOSetString(control, KLVPBDataControl::name, name);
        controls.push_back(control);
    }
    NANOSetArray(config, KLVPBMeasurementConfig::data_controls, controls);
    apply(config);
    KLVPBMeasurementBundle bundle;
    NANOSetString(bundle, KLVPBMeasurementBundle::app_instance_id, "instance");
    NANOSetString(bundle, KLVPBMeasurementBundle::os_version, "17.2.1");
    NANOSetString(bundle, KLVPBMeasurementBundle::device_model, "iPhone15,2");
    NANOSetString(bundle, KLVPBMeasurementBundle::session_stitching_token, "token");
    std::vector<KLVPBUserAttribute> attributes(2);
    NANOSetString(attributes[0], KLVPBUserAttribute::name, "_id");
    NANOSetString(attributes[0], KLVPBUserAttribute::string_value, "user-7");
    NANOSetString(attributes[1], KLVPBUserAttribute::name, "plan");
    NANOSetString(attributes[1], KLVPBUserAttribute::string_value, "pro");
    NANOSetArray(bundle, KLVPBMeasurementBundle::user_attributes, attributes);
    queue(bundle);
    server_.answer("POST", "/a", {204, {}, "", 0, false});
    upload();

    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto sent = bundles(requests[0]);
    ASSERT_EQ(sent.size(), 1u);
    const auto& b = sent[0];
    EXPECT_FALSE(NANOHasField(b, KLVPBMeasurementBundle::app_instance_id));
    EXPECT_FALSE(
        NANOGetString(b, KLVPBMeasurementBundle::ephemeral_app_instance_id).value_or("").empty());
    EXPECT_EQ(NANOGetString(b, KLVPBMeasurementBundle::os_version), "17");
    EXPECT_FALSE(NANOHasField(b, KLVPBMeasurementBundle::device_model));
    EXPECT_FALSE(NANOHasField(b, KLVPBMeasurementBundle::session_stitching_token));
    EXPECT_EQ(testing::userAttributesOf(b), (testing::ValueMap{{"plan", "pro"}}));
    EXPECT_EQ(NANOGetArray(b, KLVPBMeasurementBundle::redacted_fields),
              (platform::Array{"app_instance_id", "user_id", "device_info", "enhanced_user_id"}));
}

TEST_F(UploadTest, TheUploadWaitsAsLongAsTheConfiguredNetworkTimeout) {
    // The time-out itself is the HTTP client's; what the service owes is to hand it the setting.
    const struct {
        const char* setting;
        double seconds;
    } cases[] = {{nullptr, 60}, {"45000", 45}};  // the setting is in milliseconds
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        if (c.setting) configure({{"measurement.network.network_timeout", c.setting}});
        log("shop");
        server_.answer("POST", "/a", {204, {}, "", 0, false});
        upload();
        onWorker([&](KLVMeasurement& s) { EXPECT_EQ(s.network()->timeoutInterval(), c.seconds); });
    }
}

// ---- Audiences, experiments and rule programs through a real start, fetch and upload -------

// Serves a configuration of this app carrying what the test adds, fetches it, and uploads.
class ServedConfigurationTest : public ConfigDownloadTest {
  protected:
    void TearDown() override {
        KLVPEventEditing::setFactory({});
        ConfigDownloadTest::TearDown();
    }
    void fetchConfiguration(const KLVPBMeasurementConfig& config) {
        server_.answer("GET", configPath(), {200, {}, testing::bytesOf(config), 0, false});
        fetch();
    }
    // The last bundle of the batch that an upload of what is stored sends.
    KLVPBMeasurementBundle uploadedBundle() {
        server_.answer("POST", "/a", {204, {}, "", 0, false});
        upload();
        const auto sent = bundles(server_.requests().back());
        return sent.empty() ? KLVPBMeasurementBundle() : sent.back();
    }
};

// Per audience: "ID[ new]: status/results[ dynamic filter@second][ was previous]", word 0.
std::vector<std::string> audienceResults(const KLVPBMeasurementBundle& bundle) {
    const auto text = [](const KLVPBResultData& data) {
        const auto result = testing::decoded(data);
        std::string out = std::to_string(result.status.at(0)) + "/" +
                          std::to_string(result.results.empty() ? 0 : result.results[0]);
        for (const auto& [filter, second] : result.dynamic)
            out += " " + std::to_string(filter) + "@" + std::to_string(second);
        return out;
    };
    std::vector<std::string> out;
    for (const auto& leaf : NANOGetArray<KLVPBAudienceLeafFilterResult>(
                                bundle, KLVPBMeasurementBundle::audience_evaluation_results)
                                .value_or(std::vector<KLVPBAudienceLeafFilterResult>{})) {
        using Leaf = KLVPBAudienceLeafFilterResult;
        std::string line = std::to_string(NANOGetInt32(leaf, Leaf::audience_id)) +
                           (NANOGetBool(leaf, Leaf::new_audience) ? " new: " : ": ") +
                           text(*NANOGetMessage<KLVPBResultData>(leaf, Leaf::current_data));
        if (const auto previous = NANOGetMessage<KLVPBResultData>(leaf, Leaf::previous_data))
            line += " was " + text(*previous);
        out.push_back(std::move(line));
    }
    return out;
}

TEST_F(ServedConfigurationTest, AudienceResultsTravelWithEveryBundle) {
    using testing::eventFilter;
    using testing::filterOf;
    using testing::numberFilter;
    // Audience 1: a "shop" of the pen (filter 0) by a user of a tier above 2 (filter 3).
    // Audience 2: a second "shop" or more, dynamic (filter 1).
    auto config = testing::makeConfig(kAppID);
    NANOSetArray(
        config, KLVPBMeasurementConfig::audiences,
        std::vector<KLVPBAudience>{
            testing::audience(
                1, {eventFilter(0, "shop", {filterOf(testing::stringFilter(5, "pen"), "item")})},
                {testing::propertyFilter(3, "tier", filterOf(numberFilter(2, "2")))}),
            testing::audience(
                2, {eventFilter(1, "shop", {}, numberFilter(2, "1"), {.dynamic = true})})});
    fetchConfiguration(config);
    onWorker([&](KLVMeasurement& s) {
        ASSERT_TRUE(s.setUserPropertyInDatabaseOnWorkerQueue(*KLVUserAttribute::initWithOrigin(
            "app", "tier", KLVValue::initWithInt64(3), clock_->now())));
    });

    log("shop", {{"item", "pen"}});
    EXPECT_THAT(audienceResults(uploadedBundle()), ElementsAre("1 new: 9/9", "2 new: 2/0"));

    // Audience 1 is true for good and no longer evaluated: reported unchanged. The second "shop"
    // makes audience 2 true at this second, and shows what it was before.
    clock_->advance(60.5);
    const std::string second = std::to_string(static_cast<std::int64_t>(clock_->now()));
    log("shop", {{"item", "ink"}});
    EXPECT_THAT(audienceResults(uploadedBundle()),
                ElementsAre("1: 9/9", "2: 2/2 1@" + second + " was 2/0"));
}

TEST_F(ServedConfigurationTest, ARuleProgramRenamesStoredEventsAndAFailingRuleKeepsTheOriginal) {
    installEventEditingRuntime();
    allowDebugLines();
    // "edit" renames events named "from" to "to", then fails on events named "failOn"; on events
    // named "exhaustOn" it sets "_err" and makes arrays until the run's memory runs out.
    auto config = testing::makeConfig(kAppID);
    NANOSetArray(config, KLVPBMeasurementConfig::dynamic_event_editing,
                 std::vector<KLVPBProgram>{testing::makeProgram(
                     R"((let "reg") (assign "reg" (require "internal.registerCallback"))
                        (def "edit" (array "r")
                          (reg 0 (fn "" (array "e")
                            (let "name") (assign "name" (call (var "e") "getEventName" (array)))
                            (if (seq= (var "name") (get (var "r") "from"))
                                (stmts (call (var "e") "setEventName" (array (get (var "r") "to")))))
                            (if (seq= (var "name") (get (var "r") "failOn"))
                                (stmts (assign "undeclared" 1)))
                            (if (seq= (var "name") (get (var "r") "exhaustOn"))
                                (stmts (call (var "e") "setParamValue" (array "_err" 99))
                                       (let "a") (assign "a" (array 1))
                                       (while true (undefined) false (stmts
                                         (assign "a" (call (var "a") "concat" (array (var "a"))))))))
                            (return 0))
                           (var "r"))))",
                     {{"edit", R"((object "type" "edit" "from" "shop" "to" "purchase_made")
                                  (object "type" "edit" "from" "broken" "to" "never_stored"
                                          "failOn" "broken")
                                  (object "type" "edit" "from" "huge" "to" "never_stored"
                                          "exhaustOn" "huge"))"}})});
    fetchConfiguration(config);
    EXPECT_THAT(logLine(29027), HasSubstr("Loading Event Modification and Creation "
                                          "programs"));

    log("shop", {{"item", "pen"}});
    log("broken");
    log("huge", {{"item", "ink"}});
    const auto events =
        NANOGetArray<KLVPBEvent>(uploadedBundle(), KLVPBMeasurementBundle::events).value();
    std::vector<std::string> names;
    for (const auto& event : events)
        names.push_back(*NANOGetString(event, KLVPBEvent::name));
    EXPECT_THAT(names, ElementsAre("purchase_made", "broken", "huge"));
    // The run past its memory is a failed pass: the event is stored as it came.
    const auto stored = NANOGetArray<KLVPBEventParam>(events.at(2), KLVPBEvent::params).value();
    std::vector<std::string> parameters;
    for (const auto& parameter : stored)
        parameters.push_back(*NANOGetString(parameter, KLVPBEventParam::name));
    EXPECT_THAT(parameters, Contains("item"));
    EXPECT_THAT(parameters, Not(Contains("_err")));
    EXPECT_EQ(logCount(23223), 2u);
    EXPECT_THAT(logLine(23223), HasSubstr("Event editing failed"));
}

// Experiments fetched after the start are put in force by the settings once nothing waits for
// upload, and every later bundle carries their IDs.
class ExperimentUploadTest : public UploadTest {
  protected:
    void SetUp() override {
        holdExperimentFetch_ = false;
        UploadTest::SetUp();
    }
};

TEST_F(ExperimentUploadTest, FetchedExperimentsReachTheNextBundle) {
    auto manager = KLVEManagerImpl::sharedInstance();
    auto recorder = std::make_shared<testing::RecordingTaskManagerDelegate>();
    recorder->forward = manager;
    manager->taskManager()->setDelegate(recorder);
    KLVPBExperimentResponse answer;
    NANOSetArray(answer, KLVPBExperimentResponse::snapshots,
                 std::vector<KLVPBSnapshot>{testing::makeSnapshotMessage(
                     kKLVExperimentSDKName,
                     {testing::makeExperimentMessage(12, {testing::makeFlag("f", "on")}),
                      testing::makeExperimentMessage(7, {testing::makeFlag("g", 1)})})});
    server_.answer("POST", kKLVExperimentFetchPath, {200, {}, testing::bytesOf(answer), 0, true});

    // The start has scheduled the first fetch 10 s after the service's creation.
    manager->taskManager()->dispatchSyncOnWorkerQueue([] {});
    clock_.advance(10);
    ASSERT_TRUE(recorder->fetchFinished.wait(60));
    // The manager keeps the snapshot as pending, the task manager stores it, and the notice to
    // the settings goes through the main queue.
    manager->dispatchSyncOnSerialQueue([] {});
    manager->taskManager()->dispatchSyncOnWorkerQueue([] {});
    platform::runUntilIdle();
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, kKLVExperimentFetchPath);
    EXPECT_NE(requests[0].body.find(kKLVExperimentSDKName), std::string::npos);

    // In force once an upload has found nothing more to send.
    log("before");
    server_.answer("POST", "/a", {204, {}, "", 0, false});
    upload();
    log("after");
    upload();
    const auto sent = server_.requests();
    ASSERT_EQ(sent.size(), 3u);
    const auto ids = [](const testkit::RecordedRequest& request) {
        const auto list = bundles(request);
        return list.empty() ? platform::Array{}
                            : NANOGetArray(list[0], KLVPBMeasurementBundle::experiment_ids)
                                  .value_or(platform::Array{});
    };
    EXPECT_EQ(ids(sent[1]), platform::Array{});
    EXPECT_EQ(ids(sent[2]), (platform::Array{7, 12}));
}

}  // namespace
}  // namespace engine
