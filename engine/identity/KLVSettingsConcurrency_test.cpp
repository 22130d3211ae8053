// Settings, consent and identity are read from many queues while the worker queue replaces the
// configuration and consent changes. Readers must only ever see whole old or whole new values.

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/environment/KLVDefaultIdentitySupport.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"

namespace engine {
namespace {

using platform::Dictionary;
using testing::makeConfig;
using testing::makeEventConfig;

constexpr char kAppID[] = "1:123:ios:abc";
constexpr int kUpdates = 150;
constexpr int kReaders = 4;

// Two configurations that differ in every cache. A reset in between empties them.
KLVPBMeasurementConfig variant(bool first) {
    auto config = makeConfig(kAppID, {{"measurement.upload.retry_count", first ? "9" : "12"},
                                      {"measurement.upload.interval", first ? "90000" : "120000"},
                                      {"measurement.upload.blacklist_public", first ? "1" : "0"}});
    NANOSetArray(config, KLVPBMeasurementConfig::event_config,
                 std::vector{makeEventConfig("purchase", first, std::nullopt, first ? 3 : 7)});
    KLVPBDataControl control;
    NANOSetString(control, KLVPBDataControl::name, first ? "a" : "b");
    NANOSetArray(config, KLVPBMeasurementConfig::data_controls, std::vector{control});
    KLVPBConsentDefaultEntry entry;
    NANOSetInt32(entry, KLVPBConsentDefaultEntry::type, 1);
    NANOSetInt32(entry, KLVPBConsentDefaultEntry::status, first ? 1 : 2);
    KLVPBConsentConfig consent;
    NANOSetArray(consent, KLVPBConsentConfig::defaults, std::vector{entry});
    NANOSetMessage(config, KLVPBMeasurementConfig::consent_config, consent);
    return config;
}

class KLVSettingsConcurrencyTest : public testing::SettingsTest {};

TEST_F(KLVSettingsConcurrencyTest, ReadersSeeWholeValuesWhileConfigurationsChange) {
    const auto settings = KLVRemoteConfig::initWithAppID(kAppID, storage_, nullptr);
    ASSERT_TRUE(settings->updateMeasurementConfig(variant(true)));
    const auto identity = KLVIdentity::initWithPersistedConfig(
        KLVPersistedConfig::sharedInstance(), std::make_shared<KLVDefaultIdentitySupport>(nullptr));
    ASSERT_TRUE(identity);

    std::atomic<bool> done{false};
    std::atomic<int> wrongAnswers{0};
    std::atomic<long> reads{0};
    const auto check = [&](bool ok) {
        if (!ok) ++wrongAnswers;
    };
    const std::set<std::string> signals = {"G1--", "G11-", "G10-", "G1-1", "G1-0",
                                           "G111", "G110", "G101", "G100"};

    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                const auto retries = settings->uploadingRetryCount();
                check(retries == 9 || retries == 12 || retries == 6);
                const auto rate = settings->samplingRateForEvent("purchase");
                check(rate == 3 || rate == 7 || rate == 1);
                settings->isEventBlocklisted("purchase");
                const auto controls = settings->dataControls();
                check(controls.empty() || controls == std::vector<std::string>{"a"} ||
                      controls == std::vector<std::string>{"b"});
                const auto defaults = settings->consentDefaults();
                check(defaults.empty() || defaults == Dictionary{{"ad_storage", "granted"}} ||
                      defaults == Dictionary{{"ad_storage", "denied"}});
                check(signals.count(KLVConsentSettingsUtil::consentSignals()) == 1);
                check(KLVConsentSettingsUtil::consentDiagnostics().size() == 5);
                identity->ephemeralAppInstanceID();
                ++reads;
            }
        });
    }

    // The updates start once the readers read, and each half of them overlaps reading.
    const auto waitForReads = [&](long count) {
        while (reads.load() < count)
            std::this_thread::yield();
    };
    waitForReads(1);
    for (int i = 0; i < kUpdates; ++i) {
        if (i == kUpdates / 2) waitForReads(reads.load() + 1);
        ASSERT_TRUE(settings->updateMeasurementConfig(variant(i % 2 == 1)));
        KLVConsentSettingsUtil::updateSettings(
            Dictionary{{"ad_storage", i % 3 == 0 ? "denied" : "granted"}}, 10);
        KLVConsentSettingsUtil::setDefaultSettings(settings->consentDefaults());
        if (i % 10 == 0) KLVConsentSettingsUtil::clearAllSettings();
        if (i % 25 == 0) settings->reset();
    }
    done = true;
    for (auto& reader : readers)
        reader.join();

    EXPECT_EQ(wrongAnswers.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

}  // namespace
}  // namespace engine
