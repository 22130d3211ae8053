// The record a stored event keeps of its circumstances (consent, identifiers, user properties,
// session, settings) is made once and reused while none of its inputs changed. Each test here
// changes one input between two events, the way the app or the engine changes it, and reads the
// second event's stored record: it must show the change.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "engine/bundles/BundleTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/frontdoor/ScriptedRunTestSupport.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVRemoteConfig.h"

namespace engine {
namespace stored_record_inputs {
namespace {

using Bundle = KLVPBMeasurementBundle;
using platform::Dictionary;
using platform::Object;

class StoredRecordTest : public testing::ScriptedAppRun {
  protected:
    void SetUp() override {
        ScriptedAppRun::SetUp();
        launch(config({}));
        upload();
    }

    // The stored record of the newest raw event, and its parameters.
    Bundle newestRecord() {
        std::optional<Bundle> record;
        service_->scheduler()->workerQueue()->sync([&] {
            auto& db = *service_->database();
            const auto fingerprint = db.sqliteStore().numberForQuery(
                "SELECT metadata_fingerprint FROM raw_events ORDER BY rowid DESC LIMIT 1", {});
            if (fingerprint) {
                record = db.queryRawEventsMetadataWithFingerprint(fingerprint->asInteger());
            }
        });
        EXPECT_TRUE(record) << "no stored event";
        return record.value_or(Bundle{});
    }
    std::map<std::string, platform::Object, std::less<>> newestParameters() {
        const auto stored = storedRawEvents(*service_);
        EXPECT_FALSE(stored.empty());
        if (stored.empty()) return {};
        return testing::parametersOf(stored.back().rawEvent().protoEvent());
    }

    // Logs "before", makes the change, logs "after"; answers both records.
    template <typename Change>
    std::pair<Bundle, Bundle> aroundChange(Change change) {
        logEvent("before");
        const Bundle before = newestRecord();
        change();
        logEvent("after");
        return {before, newestRecord()};
    }

    static std::string text(const Bundle& record, std::int32_t field) {
        return NANOGetString(record, field).value_or("<none>");
    }
    static std::optional<Object> property(const Bundle& record, const std::string& name) {
        const auto properties = testing::userAttributesOf(record);
        const auto found = properties.find(name);
        if (found == properties.end()) return std::nullopt;
        return found->second;
    }
};

TEST_F(StoredRecordTest, ConsentSetThroughThePublicInterface) {
    const auto [before, after] = aroundChange([&] {
        setConsent({{"analytics_storage", Object("denied")}});
    });
    EXPECT_EQ(text(before, Bundle::consent_signals), "G1--");
    EXPECT_EQ(text(after, Bundle::consent_signals), "G1-0");
    EXPECT_TRUE(NANOHasField(before, Bundle::app_instance_id));
    EXPECT_FALSE(NANOHasField(after, Bundle::app_instance_id));
    EXPECT_FALSE(NANOHasField(after, Bundle::vendor_device_id));
    EXPECT_EQ(text(after, Bundle::consent_diagnostics), "19599");
}

TEST_F(StoredRecordTest, UserProperty) {
    const auto [before, after] = aroundChange([&] { setUserProperty(Object("gold"), "level"); });
    EXPECT_EQ(property(before, "level"), std::nullopt);
    EXPECT_EQ(property(after, "level"), Object("gold"));
}

TEST_F(StoredRecordTest, UserID) {
    setUserID(Object("user-1"));
    const auto [before, after] = aroundChange([&] { setUserID(Object("user-2")); });
    EXPECT_EQ(property(before, "_id"), Object("user-1"));
    EXPECT_EQ(property(after, "_id"), Object("user-2"));
    // Another user: another stitching token.
    EXPECT_NE(text(after, Bundle::session_stitching_token),
              text(before, Bundle::session_stitching_token));
}

TEST_F(StoredRecordTest, SessionExpiring) {
    setSessionTimeoutInterval(30);
    resignActive();
    enterBackground();
    // The session lapses while the app is away; an event then belongs to no running session.
    const auto [before, after] = aroundChange([&] { advance(31); });
    EXPECT_NE(text(after, Bundle::session_stitching_token), "<none>");
    EXPECT_NE(text(after, Bundle::session_stitching_token),
              text(before, Bundle::session_stitching_token));
}

TEST_F(StoredRecordTest, InstallationID) {
    const auto [before, after] = aroundChange([&] {
        service_->identity()->setTarnwellInstallationID("installation-2");
        settle();
    });
    EXPECT_NE(text(before, Bundle::installation_id), "installation-2");
    EXPECT_EQ(text(after, Bundle::installation_id), "installation-2");
}

TEST_F(StoredRecordTest, NewConfiguration) {
    auto withoutDMA = config({{"measurement.upload.dma_consent_enabled", "0"}}, 2);
    const auto [before, after] = aroundChange([&] {
        service_->scheduler()->workerQueue()->sync([&] {
            ASSERT_TRUE(service_->remoteConfigInstance()->updateMeasurementConfig(withoutDMA));
        });
    });
    EXPECT_EQ(text(before, Bundle::consent_diagnostics), "19999");
    EXPECT_FALSE(NANOHasField(after, Bundle::consent_diagnostics));
}

// A configuration whose storing failed is taken back: the settings in force before it return,
// and so must their effect on the records.
TEST_F(StoredRecordTest, ConfigurationTakenBack) {
    const auto settings = service_->remoteConfigInstance();
    const auto previous = settings->inForce();
    service_->scheduler()->workerQueue()->sync([&] {
        ASSERT_TRUE(settings->updateMeasurementConfig(
            config({{"measurement.upload.dma_consent_enabled", "0"}}, 2)));
    });
    const auto [before, after] = aroundChange([&] { settings->restoreInForce(previous); });
    EXPECT_FALSE(NANOHasField(before, Bundle::consent_diagnostics));
    EXPECT_EQ(text(after, Bundle::consent_diagnostics), "19999");
}

TEST_F(StoredRecordTest, Reset) {
    setUserProperty(Object("gold"), "level");
    const auto [before, after] = aroundChange([&] { resetAnalyticsData(); });
    EXPECT_EQ(property(before, "level"), Object("gold"));
    EXPECT_EQ(property(after, "level"), std::nullopt);
    EXPECT_NE(text(after, Bundle::app_instance_id), "<none>");
    EXPECT_NE(text(after, Bundle::app_instance_id), text(before, Bundle::app_instance_id));
}

TEST_F(StoredRecordTest, ResetClearsDefaultEventParameters) {
    setDefaultEventParameters(Dictionary{{"campaign", Object("spring")}});
    logEvent("before");
    EXPECT_EQ(newestParameters().at("campaign"), Object("spring"));
    resetAnalyticsData();
    logEvent("after");
    EXPECT_FALSE(newestParameters().contains("campaign"));
}

}  // namespace
}  // namespace stored_record_inputs
}  // namespace engine
