#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "engine/base/EngineTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVUserAttribute.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVFileLocations.h"
#include "engine/stores/KLVPersistedConfig.h"

namespace engine {
namespace {

class KLVMeasurementResetTest : public EngineTest {
  protected:
    // The process's real service, started.
    std::shared_ptr<KLVMeasurement> startedService() {
        holdExperimentFetch();
        KLVMeasurement::initializeSharedInstanceWithAppID("1:1:ios:1", true, false, std::nullopt);
        auto service = KLVMeasurement::sharedInstance();
        onWorkerQueue(*service, [] {});
        forgetFirstOpen(*service);
        return service;
    }
    template <typename Block>
    static void onWorkerQueue(KLVMeasurement& service, Block block) {
        service.scheduler()->workerQueue()->sync(block);
    }
    static void setProperty(KLVMeasurement& service, const std::string& name, double setTime) {
        onWorkerQueue(service, [&] {
            const auto attribute =
                KLVUserAttribute::initWithOrigin("app", name, KLVValue::initWithInt64(1), setTime);
            ASSERT_TRUE(attribute);
            ASSERT_TRUE(service.database()->updateUserAttribute(*attribute));
        });
    }
};

TEST_F(KLVMeasurementResetTest, ResetForgetsTheInstallationAndKeepsTheAppIDs) {
    const auto service = startedService();
    setProperty(*service, "_fot", 1000);
    const auto persisted = KLVPersistedConfig::sharedInstance();
    persisted->setDiversionKey("abcde");
    const auto appIDBefore = persisted->appIDFromZKT();
    KLVAnalyticsStore::setLoadTimestamp(1234.5);
    clearLogLines();

    ASSERT_TRUE(service->resetAnalyticsDataWithAppInstanceID("NEWID"));
    EXPECT_EQ(logCount(23171), 1u);
    EXPECT_EQ(logCount(23168), 1u);
    EXPECT_EQ(persisted->appInstanceID(), "NEWID");
    // The experiments fetch that follows a reset may already have made a new key.
    EXPECT_NE(persisted->diversionKey(), "abcde");
    EXPECT_EQ(persisted->appIDFromZKT(), appIDBefore);
    EXPECT_EQ(service->previousZKTAppID(), appIDBefore);
    EXPECT_EQ(service->initTimestamp(), 1234.5);
    // The wiped store starts over: the first open is reported again, at the load time, and
    // consumes it; only its own properties ("_fot", "_fi") and those of the session it starts
    // ("_sid", "_sno", the first of a fresh session reporter) are there.
    EXPECT_EQ(persisted->loadTimestampValue(), platform::Object());
    EXPECT_EQ(persisted->sessionNumber(), 1);
    onWorkerQueue(*service, [&] {
        EXPECT_EQ(service->database()->userAttributesIncludingInternal(true)->size(), 4u);
        EXPECT_EQ(service->firstOpenTimestamp(), 1234.5);
    });
}

TEST_F(KLVMeasurementResetTest, EmptyIDIsTakenOnlyWhileAnalyticsStorageIsDenied) {
    allowDebugLines();
    for (const bool denied : {false, true}) {
        SCOPED_TRACE(denied);
        const auto service = startedService();
        if (denied) {
            KLVAnalyticsStore::persistConsentSettings({{"analytics_storage", "denied"}}, 10);
            KLVAnalyticsStore::loadPersistedConsentSettings();
        }
        KLVPersistedConfig::sharedInstance()->setAppInstanceID("OLD");
        clearLogLines();
        EXPECT_EQ(service->resetAnalyticsDataWithAppInstanceID(""), denied);
        EXPECT_EQ(logCount(denied ? 23218 : 23167), 1u);
        // Refused: nothing wiped. Accepted: the old ID is gone and never replaced by "".
        const auto id = KLVPersistedConfig::sharedInstance()->appInstanceID();
        EXPECT_EQ(id == "OLD", !denied);
        EXPECT_NE(id, "");
        KLVAnalyticsStore::clearConsent();
    }
}

TEST_F(KLVMeasurementResetTest, ResetOnTheWorkerQueueRunsInline) {
    const auto service = startedService();
    bool result = false;
    onWorkerQueue(*service,
                  [&] { result = service->resetAnalyticsDataWithAppInstanceID("INLINE"); });
    EXPECT_TRUE(result);
    EXPECT_EQ(KLVPersistedConfig::sharedInstance()->appInstanceID(), "INLINE");
}

TEST_F(KLVMeasurementResetTest, WipeBeforeTheDatabaseDeletesItsFiles) {
    const auto service = std::make_shared<RecordingMeasurement>(RecordingMeasurement::Options{});
    const std::string path = KLVMeasurementFilePath(service->databaseName());
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        std::ofstream(path + suffix) << "stale";
    KLVPersistedConfig::sharedInstance()->setAppIDFromZKT("1:9:ios:9");
    EXPECT_TRUE(service->wipeoutAnalyticsDataAndResetComponents());
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        EXPECT_FALSE(std::filesystem::exists(path + suffix)) << suffix;
    EXPECT_EQ(service->previousZKTAppID(), "1:9:ios:9");
    EXPECT_EQ(KLVPersistedConfig::sharedInstance()->appIDFromZKT(), std::nullopt);
    EXPECT_EQ(logCount(23014), 0u);
}

TEST_F(KLVMeasurementResetTest, FirstOpenTimestamp) {
    using Properties = std::vector<std::pair<std::string, double>>;  // name, set time
    const std::tuple<const char*, Properties, double> cases[] = {
        {"no properties", {}, 0},
        {"_fot wins over older ones", {{"a", 10}, {"_fot", 50}, {"b", 20}}, 50},
        {"oldest set time without _fot", {{"a", 30}, {"b", 20}, {"c", 40}}, 20},
    };
    for (const auto& [what, properties, expected] : cases) {
        const auto service = startedService();
        ASSERT_TRUE(service->resetAnalyticsDataWithAppInstanceID("X"));
        forgetFirstOpen(*service);  // the reset reports it again
        for (const auto& [name, time] : properties)
            setProperty(*service, name, time);
        double first = -1;
        onWorkerQueue(*service, [&] { first = service->firstOpenTimestamp(); });
        EXPECT_EQ(first, expected) << what;
    }
}

}  // namespace
}  // namespace engine
