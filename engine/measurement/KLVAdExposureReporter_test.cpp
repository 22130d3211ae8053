#include "engine/measurement/KLVAdExposureReporter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>

#include "engine/base/EngineTestSupport.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/measurement/KLVScreenViewReporter.h"

namespace engine {
namespace {

using platform::Dictionary;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class AdExposureReporterTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        KLVSetInternalEventLogger(
            [this](const std::string& origin, const std::string& name, const Dictionary& p) {
                std::lock_guard lock(mutex_);
                EXPECT_EQ(origin, "vu");
                logged_.push_back(name + " " + platform::Object(p).description());
            });
        reporter_ = KLVAdExposureReporter::sharedInstance();
        KLVScreenViewReporter::sharedInstance().handleAppDidBecomeActive();
    }
    void TearDown() override {
        reporter_.reset();
        KLVSetInternalEventLogger({});
        EngineTest::TearDown();
    }
    std::vector<std::string> logged() {
        std::lock_guard lock(mutex_);
        return std::exchange(logged_, {});
    }
    static std::string xu(const std::string& id, std::int64_t ms, Dictionary screen = {}) {
        screen["_ai"] = id;
        screen["_xt"] = ms;
        return "_xu " + platform::Object(screen).description();
    }
    static std::string xa(std::int64_t ms, Dictionary screen = {}) {
        screen["_xt"] = ms;
        return "_xa " + platform::Object(screen).description();
    }

    testkit::ScopedManualClock clock_;
    std::shared_ptr<KLVAdExposureReporter> reporter_;
    std::mutex mutex_;
    std::vector<std::string> logged_;
};

TEST_F(AdExposureReporterTest, LastEndOfAUnitLogsItsExposureAndTheOverallOne) {
    reporter_->beginAdUnitExposure("A");
    reporter_->beginAdUnitExposure("A");
    clock_.advance(2);
    reporter_->endAdUnitExposure("A");
    EXPECT_THAT(logged(), IsEmpty());
    reporter_->endAdUnitExposure("A");
    EXPECT_THAT(logged(), ElementsAre(xu("A", 2000), xa(2000)));
    // Ending a unit never begun logs nothing (there is no start to count from).
    clock_.advance(3);
    reporter_->endAdUnitExposure("A");
    reporter_->endAdUnitExposure("");
    EXPECT_THAT(logged(), IsEmpty());
}

TEST_F(AdExposureReporterTest, ExposuresUnderOneSecondAreNotLogged) {
    for (const double seconds : {0.999, 1.0}) {
        reporter_->beginAdUnitExposure("A");
        clock_.advance(seconds);
        reporter_->endAdUnitExposure("A");
        const auto events = logged();
        EXPECT_EQ(events.size(), seconds < 1 ? 0u : 2u) << seconds;
    }
}

TEST_F(AdExposureReporterTest, UnitsBeyondTheHundredthAreIgnored) {
    for (int i = 0; i <= 100; ++i)
        reporter_->beginAdUnitExposure("u" + std::to_string(i));
    reporter_->beginAdUnitExposure("u0");  // a counted unit may still be begun again
    clock_.advance(1);
    reporter_->endAdUnitExposure("u100");
    reporter_->endAdUnitExposure("u0");
    EXPECT_THAT(logged(), IsEmpty());
    reporter_->endAdUnitExposure("u0");
    EXPECT_THAT(logged(), ElementsAre(xu("u0", 1000)));
}

TEST_F(AdExposureReporterTest, ResigningActiveReportsAndKeepsUnitsBackgroundTimeIsNotCounted) {
    const KLVScreen screen("Home", "Cls", 7);
    const Dictionary screenParameters{{"_sc", "Cls"}, {"_si", 7}, {"_sn", "Home"}};
    // The app's state reaches the reporter through the screen-view reporter (no screen here).
    auto& screens = KLVScreenViewReporter::sharedInstance();
    reporter_->beginAdUnitExposure("A");
    clock_.advance(2);
    screens.handleAppWillResignActive();
    EXPECT_THAT(logged(), ElementsAre(xu("A", 2000), xa(2000)));
    clock_.advance(50);
    screens.handleAppDidBecomeActive();
    clock_.advance(3);
    reporter_->handleScreenDidChangeFromScreen(&screen, nullptr);
    EXPECT_THAT(logged(), ElementsAre(xu("A", 3000, screenParameters), xa(3000, screenParameters)));
    reporter_->handleScreenDidChangeFromScreen(nullptr, &screen);
    clock_.advance(4);
    platform::NotificationCenter::defaultCenter().postNotificationName(
        kKLVSessionReporterEngagementTimerDidFire, nullptr);
    EXPECT_THAT(logged(), ElementsAre(xu("A", 4000), xa(4000)));
}

TEST_F(AdExposureReporterTest, DisabledReportingKeepsCountsAndLogsNothing) {
    reporter_->setReportingEnabled(false);
    reporter_->beginAdUnitExposure("A");
    reporter_->beginAdUnitExposure("B");
    clock_.advance(2);
    reporter_->endAdUnitExposure("A");
    reporter_->setReportingEnabled(true);
    clock_.advance(1);
    reporter_->endAdUnitExposure("B");
    EXPECT_THAT(logged(), ElementsAre(xu("B", 3000), xa(3000)));
}

// A reporter made with its own screen reads that one: its parameters go into the events, and
// while it says the app is inactive nothing is logged.
TEST_F(AdExposureReporterTest, AReporterReadsTheScreenItIsGiven) {
    const Dictionary screen = {{"_si", std::int64_t{7}}, {"_sn", "Result"}};
    for (const bool active : {true, false}) {
        const auto own = std::make_shared<KLVAdExposureReporter>(
            KLVScreenState{[active] { return active; }, [screen] { return screen; }});
        own->beginAdUnitExposure("B");
        clock_.advance(3);
        own->endAdUnitExposure("B");
        if (active) {
            EXPECT_THAT(logged(), ElementsAre(xu("B", 3000, screen), xa(3000, screen)));
        } else {
            EXPECT_THAT(logged(), IsEmpty());
        }
    }
}

}  // namespace
}  // namespace engine
