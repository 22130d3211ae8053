#pragma once

// Test support for the event model and its tables (header only): a manual clock, server settings of
// the test's choosing, and the two places a log line can land (the console for most levels, only
// the health record for the silent levels 2 and 5).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/events/KLVValue.h"
#include "engine/settings/SettingsTestSupport.h"
#include "testkit/ManualClock.h"

namespace engine::testing {

// An object that prints as its description when a comparison fails. (A printer for
// platform::Object itself would have to be seen by every test of the binary.)
struct Plain {
    Plain(platform::Object object) : object(std::move(object)) {}
    friend bool operator==(const Plain& a, const Plain& b) { return a.object == b.object; }
    friend void PrintTo(const Plain& plain, std::ostream* os) { *os << plain.object.description(); }
    platform::Object object;
};

// Parameters as one object, for comparisons that print well.
inline Plain plain(const KLVParameters& parameters) {
    platform::Dictionary dictionary;
    for (const auto& [name, value] : parameters)
        dictionary.emplace(name, value.value());
    return Plain(platform::Object(std::move(dictionary)));
}
inline Plain plain(const std::optional<KLVParameters>& parameters) {
    return parameters ? plain(*parameters) : Plain(platform::Object());
}

inline constexpr char kTestAppID[] = "1:123:ios:abc";
// 2023-11-14T22:13:20Z.
inline constexpr double kTestNow = 1'700'000'000.0;

// An event test on a manual clock at kTestNow.
class EventTest : public SettingsTest {
  protected:
    // Makes a measurement service with these server settings the process's service.
    void useSettings(const SettingList& settings) {
        auto remoteConfig = KLVRemoteConfig::initWithAppID(kTestAppID, storage_, nullptr);
        ASSERT_TRUE(remoteConfig);
        ASSERT_TRUE(remoteConfig->updateMeasurementConfig(makeConfig(kTestAppID, settings)));
        FakeMeasurementService::install(std::make_shared<FakeMeasurementService>(remoteConfig));
    }

    // The health record (monitorable levels 1, 2, 4 and 5), emptied by reading it. It keeps one
    // message per sampling period, so a test reads it after each message it expects there; the
    // clock moves on a second so that the period is over.
    std::string healthRecord() {
        clock_.advance(1);
        return monitor().monitoringDataForDispatchWithSamplePeriod(0, 0).value_or("");
    }

    testkit::ScopedManualClock clock_{kTestNow};
};

}  // namespace engine::testing
