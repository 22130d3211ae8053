#include <gtest/gtest.h>

#include <filesystem>

#include "engine/base/EngineTestSupport.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/experiments/ExperimentsTestSupport.h"
#include "engine/experiments/KLVEExperimentRequestBuilder.h"
#include "engine/experiments/KLVETaskManager.h"
#include "testkit/LoopbackServer.h"

namespace engine {
namespace {

using testing::idsOf;
using testing::makeExperimentMessage;
using testing::makeFlag;
using testing::makeSnapshotMessage;

using testing::kCreated;
using testing::kHost;
using testing::kNow;

using KLVETaskManagerTest = testing::ExperimentsTest;

TEST_F(KLVETaskManagerTest, FetchTimeLadder) {
    const double s = kNow - 20000;
    const double next = s + 14400;
    // Initial fetch, last success, last failure, next fetch time.
    const std::tuple<bool, double, double, double> cases[] = {
        {true, 0, 0, kNow + 10},               // fresh install
        {true, kNow - 7200, 0, kNow + 7200},   // a recent success keeps its interval
        {true, kNow + 3600, 0, kNow + 10800},  // a success in the future is mirrored
        {false, s, 0, next},
        {false, s, next, next + 1800},
        {false, s, next + 55800, next + 113400},
        {false, s, next + 113399, next + 113400},
        {false, s, next + 113400, 0},               // exhausted
        {false, 0, kCreated + 1, kCreated + 1800},  // no success: from creation
        {false, 0, kCreated + 113400, 0},
    };
    for (const auto& [initial, success, failure, expected] : cases) {
        taskManager_->setHasMadeInitialFetch(!initial);
        EXPECT_DOUBLE_EQ(taskManager_->fetchTimeFromLastSuccessfulTimestamp(success, failure),
                         expected)
            << initial << " " << success - kNow << " " << failure - kNow;
        EXPECT_TRUE(taskManager_->hasMadeInitialFetch());
    }
}

TEST_F(KLVETaskManagerTest, SchedulingKeepsEarlierAlarmsReplacesLaterOnesAndBacksOff) {
    struct Case {
        const char* what;
        std::optional<double> success, failure, backoff;
        std::optional<double> pendingAlarmIn;  // seconds from now
        std::optional<double> expectedDue;     // nullopt: nothing scheduled
    };
    const Case cases[] = {
        {"earlier alarm kept", kNow - 3600, {}, {}, 100, kNow + 100},
        {"later alarm replaced", kNow - 3600, {}, {}, 50000, kNow + 10800},
        {"back-off", kNow - 3600, {}, kNow - 3600, {}, kNow + 39600},
        {"old back-off ignored", kNow - 3600, {}, kNow - 43200, {}, kNow + 10800},
        {"due in the past", kNow - 20000, {}, {}, {}, kNow + 0.001},
        {"exhausted", kNow - 200000, kNow - 1, {}, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        taskManager_->setHasMadeInitialFetch(true);
        store(kKLVExperimentFetchSuccessTimestampKey, c.success);
        store(kKLVExperimentFetchFailureTimestampKey, c.failure);
        store(kKLVExperimentFetchBackoffTimestampKey, c.backoff);
        onWorker([&] {
            alarm_->cancel();
            if (c.pendingAlarmIn) alarm_->runAfterDelay(*c.pendingAlarmIn, [] {});
            taskManager_->scheduleFetchingExperimentsOnWorkerQueue();
        });
        const auto due = alarmDue();
        ASSERT_EQ(due.has_value(), c.expectedDue.has_value()) << c.what;
        if (due) {
            EXPECT_NEAR(*due, *c.expectedDue, 1e-6) << c.what;
        }
    }
    // Exhaustion forgets the success, so the next start fetches 10 seconds in.
    EXPECT_FALSE(stored(kKLVExperimentFetchSuccessTimestampKey));
}

TEST_F(KLVETaskManagerTest, StartLoadsTheStoreAndPostponesWhenNoClientMayFetch) {
    {
        auto database = KLVEDatabase::initWithPath(path_);
        ASSERT_TRUE(database);
        ASSERT_TRUE(database->upsertPendingExperimentSnapshots(
            {testing::makeSnapshot("auto", {0, 4}, kNow - 60)}));
    }
    delegate_->shouldFetch = false;
    taskManager_->startTaskManager();
    testkit::drain(*queue_);
    ASSERT_EQ(delegate_->started.size(), 1u);
    const auto& started = delegate_->started[0];
    ASSERT_EQ(started[0].size(), 1u);
    EXPECT_EQ(idsOf(started[0][0]), (std::vector<std::int32_t>{4}));
    EXPECT_DOUBLE_EQ(started[0][0]->timestamp(), kNow - 60);
    EXPECT_TRUE(started[1].empty());
    ASSERT_EQ(started[2].size(), 1u);
    EXPECT_EQ(alarmDue(), kNow + 10);

    clock_.advance(10);
    testkit::drain(*queue_);
    EXPECT_EQ(stored(kKLVExperimentFetchSuccessTimestampKey), kNow + 10);
    EXPECT_EQ(alarmDue(), kNow + 10 + 14400);
}

TEST_F(KLVETaskManagerTest, AnswerStatusesSetTheFetchTimes) {
    // Status (0: no answer), success stored, back-off stored.
    const std::tuple<int, bool, bool> cases[] = {
        {204, true, false}, {503, false, true}, {500, false, false}, {0, false, false}};
    for (const auto& [status, success, backoff] : cases) {
        SCOPED_TRACE(status);
        store(kKLVExperimentFetchSuccessTimestampKey, std::nullopt);
        store(kKLVExperimentFetchFailureTimestampKey, kNow - 5);
        store(kKLVExperimentFetchBackoffTimestampKey, std::nullopt);
        std::optional<platform::WDLNetworkResponse> response;
        if (status) response = platform::WDLNetworkResponse{status, {}, -1};
        onWorker(
            [&] { taskManager_->handleFetchingExperimentsResponse(response, std::nullopt, {}); });
        EXPECT_EQ(stored(kKLVExperimentFetchSuccessTimestampKey).has_value(), success);
        EXPECT_EQ(stored(kKLVExperimentFetchFailureTimestampKey),
                  success ? std::nullopt : std::optional<double>(kNow));
        EXPECT_EQ(stored(kKLVExperimentFetchBackoffTimestampKey).has_value(), backoff);
    }
    // The success reached the delegate, with nothing in it.
    ASSERT_EQ(delegate_->finished.size(), 1u);
    EXPECT_TRUE(delegate_->finished[0].first.empty());
    EXPECT_TRUE(delegate_->finished[0].second.empty());
}

TEST_F(KLVETaskManagerTest, ClearAndDeleteCancelsThePendingFetch) {
    taskManager_->startTaskManager();
    ASSERT_EQ(alarmDue(), kNow + 10);
    taskManager_->clearAndDelete();
    EXPECT_EQ(alarmDue(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(path_));
    taskManager_->reset();
    testkit::drain(*queue_);
    EXPECT_TRUE(std::filesystem::exists(path_));
    EXPECT_EQ(alarmDue(), kNow + 0.001);
}

class KLVETaskManagerFetchTest : public KLVETaskManagerTest {
  protected:
    void SetUp() override {
        KLVETaskManagerTest::SetUp();
        useLoopbackHost(server_);
        onWorker([&] { ASSERT_TRUE(KLVEDatabase::initWithPath(path_)); });
        taskManager_->startTaskManager();
        testkit::drain(*queue_);
    }

    // Posts one request and waits for its answer to reach the delegate.
    std::pair<KLVETaskManager::Snapshots, KLVETaskManager::Errors> fetch() {
        const std::size_t before = delegate_->finished.size();
        taskManager_->dispatchAsyncOnWorkerQueue([this] { taskManager_->fetchExperiments(); });
        EXPECT_TRUE(delegate_->fetchFinished.wait(30));
        testkit::drain(*queue_);
        std::lock_guard lock(delegate_->mutex);
        if (delegate_->finished.size() <= before) return {};
        return delegate_->finished.back();
    }

    testkit::LoopbackServer server_{{{kHost}}};
};

// A 200 answer without the gzip magic is read as it is; taken as an empty success, its
// snapshots were lost for hours.
TEST_F(KLVETaskManagerFetchTest, AnUncompressedAnswerIsReadAsItIs) {
    KLVPBExperimentResponse answer;
    std::vector<KLVPBSdkResponse> entries(1);
    NANOSetString(entries[0], KLVPBSdkResponse::sdk_name, "named");
    NANOSetMessage(entries[0], KLVPBSdkResponse::snapshot,
                   makeSnapshotMessage("", {makeExperimentMessage(5, {makeFlag("g", 1)})}));
    NANOSetArray(answer, KLVPBExperimentResponse::sdk_responses, entries);
    server_.answer("POST", "/sdk-exp", {200, {}, testing::bytesOf(answer)});
    const auto [snapshots, errors] = fetch();
    ASSERT_EQ(snapshots.size(), 1u);
    EXPECT_EQ(idsOf(snapshots[0]), (std::vector<std::int32_t>{5}));
    EXPECT_TRUE(errors.empty());
}

TEST_F(KLVETaskManagerFetchTest, RequestBytesAndTopLevelSnapshotsWinOverPerSDKOnes) {
    auto property = KLVESDKProperty::initWithName("brackenfold");
    property.setDiversionKey("k12ab");
    property.setVersion(110100);
    property.setAppID("1:1:ios:1");
    KLVEExperimentRequestBuilder::sharedInstance().addSDKProperty(property);

    KLVPBExperimentResponse answer;
    NANOSetArray(answer, KLVPBExperimentResponse::snapshots,
                 std::vector<KLVPBSnapshot>{makeSnapshotMessage(
                     "brackenfold", {makeExperimentMessage(0, {makeFlag("f", "launched")}),
                                     makeExperimentMessage(12, {makeFlag("f", "on")})})});
    std::vector<KLVPBSdkResponse> entries(3);
    const std::tuple<const char*, std::int32_t> statuses[] = {
        {"brackenfold", 2}, {"other", 7}, {"fine", 0}};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        NANOSetString(entries[i], KLVPBSdkResponse::sdk_name, std::get<0>(statuses[i]));
        NANOSetInt32(entries[i], KLVPBSdkResponse::error_code, std::get<1>(statuses[i]));
    }
    NANOSetMessage(entries[2], KLVPBSdkResponse::snapshot, makeSnapshotMessage("fine", {}));
    NANOSetArray(answer, KLVPBExperimentResponse::sdk_responses, entries);
    server_.answer("POST", "/sdk-exp", {200, {}, testing::bytesOf(answer), 0, true});

    const auto [snapshots, errors] = fetch();
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    // Split literals end each hex escape before a letter or digit it would otherwise swallow.
    const char expected[] =
        "\x0a\x28\x0a\x03ios\x22\x05"
        "en-us\x2a\x15"
        "com.example.tessaline"
        "\x30\x00\x38\x90\x4e\x12\x2f\x0a\x0b"
        "brackenfold\x12\x11k12ab-brackenfold"
        "\x18\x94\xdc\x06\x22\x09"
        "1:1:ios:1";
    EXPECT_EQ(requests[0].body, std::string(expected, sizeof expected - 1));

    ASSERT_EQ(snapshots.size(), 1u);
    EXPECT_EQ(snapshots[0]->SDKName(), "brackenfold");
    EXPECT_EQ(idsOf(snapshots[0]), (std::vector<std::int32_t>{0, 12}));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors.at("brackenfold"), (platform::Error{kKLVExperimentErrorDomain, -3, "", {}}));
    EXPECT_EQ(errors.at("other").code, -1);

    // Stored as pending, for automatic activation at the next start.
    onWorker([&] {
        const auto pending = taskManager_->database()->fetchAllPendingSnapshots();
        ASSERT_TRUE(pending);
        ASSERT_EQ(pending->size(), 1u);
        EXPECT_FALSE((*pending)[0]->manuallyActivated());
    });
    EXPECT_EQ(stored(kKLVExperimentFetchSuccessTimestampKey), kNow);
    // The first fetch of the process, still pending from the start, stays.
    EXPECT_EQ(alarmDue(), kNow + 10);
}

}  // namespace
}  // namespace engine
