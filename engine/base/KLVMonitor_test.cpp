#include "engine/base/KLVMonitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/base/KLVErrors.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/utilities/WDLLogger.h"
#include "testkit/ManualClock.h"

namespace engine {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kPrefix[] = "com.nexory.tarnwell.analytics ";

class KLVMonitorTest : public EngineTest {
  protected:
    static std::unique_ptr<KLVMonitor> makeMonitor(std::vector<std::string> arguments,
                                                   bool isFromAppStore = false) {
        KLVMonitor::Environment environment;
        environment.launchArguments = std::move(arguments);
        environment.isFromAppStore = isFromAppStore;
        return std::make_unique<KLVMonitor>(6, std::make_shared<KLVASLLogger>(), 110100,
                                            environment);
    }

    static platform::Object storedRecord() {
        return platform::UserDefaults(kKLVMonitorSuiteName).objectForKey(kKLVHealthMonitorKey);
    }
};

TEST_F(KLVMonitorTest, EncodedContexts) {
    CaughtException withSymbol{"std::runtime_error", "boom", {}};
    withSymbol.callStackSymbols = {
        "0   CoreFoundation   0x0001 __exceptionPreprocess + 1",
        "1   libobjc.A.dylib  0x0002 objc_exception_throw + 2",
        "2   Tessaline        0x0003 -[KLVDatabase insertRawEvent:error:] + 40",
    };
    const CaughtException withoutSymbol{"std::logic_error", "bad", {}};
    struct Case {
        MonitorContext context;
        std::string encoded;
    };
    const Case cases[] = {
        {nullptr, ""},
        {42, "42"},
        {100, "100...999"},
        {std::numeric_limits<std::int64_t>::min(), "-9999999999999999999...-1000000000000000000"},
        {1e30, "1000000000000000000...9999999999999999999"},
        {klv_errorWithCode(2, "Database not open"), kKLVErrorDomain},
        {withSymbol, "-[KLVDatabase insertRawEvent:error:]"},
        {withoutSymbol, "-"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KLVMonitor::encodedStringWithContextObject(c.context), c.encoded);
    }
    EXPECT_EQ(KLVMonitor::encodedStringWithContextArray({"a", 1234, nullptr}, true),
              "-, 1000...9999, ");
    EXPECT_EQ(KLVMonitor::encodedStringWithContextArray({"a", 1234}, false), "-,1000...9999");
}

TEST_F(KLVMonitorTest, ConsoleLineText) {
    const CaughtException exception{"std::runtime_error", "boom", {}};
    struct Case {
        std::string message;
        MonitorContexts contexts;
        bool encode;
        std::string line;
    };
    const Case cases[] = {
        {"Value", {"abc"}, true, "Value: -"},
        {"", {}, false, "(Message was empty)"},
        {"Values", {nullptr, 2.5, 7}, false, "Values: (nil), 2.5, 7"},
        {"Error",
         {klv_errorWithCode(1, "Empty path", "ctx")},
         false,
         "Error: Error Domain=com.nexory.zkt.measurement.ErrorDomain Code=1 \"Empty path\" "
         "UserInfo={KLVMonitorContext=ctx}"},
        {"Exception", {exception}, false, "Exception: std::runtime_error: boom"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KLVMonitor::stringWithLogMessage(c.message, 3, c.contexts, c.encode), c.line);
    }
}

TEST_F(KLVMonitorTest, ConsoleLinesByLevel) {
    monitor().logWithLevel(kKLVLogWarning, 29014, "Warned");
    monitor().logWithLevel(kKLVLogNotice, 23012, "Noticed");
    monitor().logWithLevel(kKLVLogDebug, 23009, "Hidden at notice");
    monitor().logWithLevel(kKLVLogError, 25034, "Failed. Type", "array");
    monitor().logWithLevel(kKLVLogErrorSilent, 26001, "Only sampled");
    monitor().logWithLevel(kKLVLogWarningSilent, 26004, "Only sampled too");
    monitor().logWithLevel(kKLVLogVerbose, 23126, "Verbose is off");
    monitor().logWithLevel(kKLVLogNotice, 24999, "100% sure");
    EXPECT_THAT(
        logLines(),
        ElementsAre(std::string(kPrefix) + "warning <Brackenfold>[I-ACS029014] Warned",
                    std::string(kPrefix) + "notice <Brackenfold>[I-ACS023012] Noticed",
                    std::string(kPrefix) + "error <Brackenfold>[I-ACS025034] Failed. Type: array",
                    std::string(kPrefix) + "notice <Brackenfold>[I-ACS024999] 100% sure"));
}

TEST_F(KLVMonitorTest, DebugAndVerboseLinesNeedTheirSwitches) {
    monitor().setDebugModeEnabled(true);
    monitor().setLogTag("[TarnwellAnalytics]");
    monitor().logWithLevel(kKLVLogDebug, 23009, "Debug logging enabled");
    monitor().logWithLevel(kKLVLogErrorSilent, 26001, "Silent even in debug mode");
    monitor().logWithLevel(kKLVLogVerbose, 23126, "Dropped without verbose logging");
    monitor().setVerboseLoggingEnabled(true);
    monitor().logWithLevel(kKLVLogVerbose, 23126, "Fetching configuration from the server");
    const auto lines = logLines();
    EXPECT_THAT(lines, Contains(std::string(kPrefix) +
                                "debug [TarnwellAnalytics][I-ACS023009] Debug logging enabled"));
    EXPECT_THAT(lines, Contains(HasSubstr("[I-ACS024003] Verbose logging is on")));
    EXPECT_THAT(lines, Contains(HasSubstr("[I-ACS023126] Fetching configuration from the server")));
    EXPECT_THAT(lines, Not(Contains(HasSubstr("Silent"))));
    EXPECT_THAT(lines, Not(Contains(HasSubstr("Dropped"))));
}

TEST_F(KLVMonitorTest, LaunchArgumentsAndStoredFlagsSetTheSwitches) {
    struct Case {
        std::vector<std::string> arguments;
        bool storedDebug;
        bool storedVerbose;
        bool fromAppStore;
        bool debug;
        bool verbose;
        std::int64_t logLevel;
        int loggerLevel;
    };
    const Case cases[] = {
        {{}, false, false, false, false, false, 6, 5},
        {{"-KLVAnalyticsDebugEnabled"}, false, false, false, true, false, 7, 7},
        // The host's own argument: the host sets the utilities logger's level itself.
        {{"-TRWDebugEnabled"}, false, false, false, true, false, 7, 5},
        {{"-KLVAnalyticsDebugEnabled"}, false, false, true, false, false, 6, 5},
        {{"-TRWAnalyticsVerboseLoggingEnabled"}, false, false, false, false, true, 8, 7},
    };
    for (const auto& c : cases) {
        platform::resetSharedInstances();
        auto& standard = platform::UserDefaults::standardUserDefaults();
        standard.removeObjectForKey(kKLVDebugModeKey);
        standard.removeObjectForKey(kKLVVerboseLoggingKey);
        if (c.storedDebug) standard.setBool(true, kKLVDebugModeKey);
        if (c.storedVerbose) standard.setBool(true, kKLVVerboseLoggingKey);
        const auto monitor = makeMonitor(c.arguments, c.fromAppStore);
        const std::string label = ::testing::PrintToString(c.arguments);
        EXPECT_EQ(monitor->isDebugModeEnabled(), c.debug) << label;
        EXPECT_EQ(monitor->isVerboseLoggingEnabled(), c.verbose) << label;
        EXPECT_EQ(monitor->logLevel(), c.logLevel) << label;
        EXPECT_EQ(platform::WDLLoggerLevel(), c.loggerLevel) << label;
        // A switch turned on stays on in later launches through its stored flag.
        EXPECT_EQ(standard.boolForKey(kKLVDebugModeKey),
                  c.debug || (c.storedDebug && c.fromAppStore))
            << label;
        EXPECT_EQ(standard.boolForKey(kKLVVerboseLoggingKey),
                  c.verbose || (c.storedVerbose && c.fromAppStore))
            << label;
    }
}

TEST_F(KLVMonitorTest, MonitorableReportsOpenAndPersistTheHealthRecord) {
    testkit::ScopedManualClock clock;
    monitor().logWithLevel(kKLVLogErrorMonitored, 12056, "Transaction failed", "detail", 1234,
                           klv_errorWithCode(2, "Database not open", "sqlite:5"));
    clock.advance(10);
    monitor().logWithLevel(kKLVLogErrorSilent, 26001,
                           "String value does not represent a numeric value. Value", "abc");
    monitor().logWithLevel(kKLVLogWarning, 29014, "A warning is not sampled");
    testkit::drain(monitor().monitorQueue());
    // The record is saved a second after the report that changed it.
    clock.advance(1);

    const platform::Object record = storedRecord();
    ASSERT_TRUE(KLVMonitoringSampledData::isValidUserDefaultsArrayEntry(record));
    EXPECT_EQ(record[1], platform::Object(2));
    EXPECT_EQ(record[3], platform::Object(platform::Date{clock->kDefaultNow}));
    const bool keptFirst =
        record[2] == platform::Object("1E_110100:Transaction failed") &&
        record[0] ==
            platform::Object("-,1000...9999,com.nexory.zkt.measurement.ErrorDomain,sqlite:5");
    const bool keptSecond =
        record[2] ==
            platform::Object("1E_110100:String value does not represent a numeric value. Value") &&
        record[0] == platform::Object("-");
    EXPECT_TRUE(keptFirst || keptSecond) << record.description();

    // A new monitor (a later launch) picks the record up again.
    platform::resetSharedInstances();
    EXPECT_EQ(monitor().monitoringDataForDispatchWithSamplePeriod(5, 0).value_or("").substr(0, 2),
              "2:");
}

TEST_F(KLVMonitorTest, ReportsInBurstsSaveTheRecordOnceASecond) {
    testkit::ScopedManualClock clock;
    for (int i = 0; i < 100; ++i) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 12056, "Transaction failed", i);
    }
    testkit::drain(monitor().monitorQueue());
    EXPECT_TRUE(storedRecord().isNull());
    clock.advance(0.999);
    EXPECT_TRUE(storedRecord().isNull());
    clock.advance(0.001);
    const platform::Object first = storedRecord();
    ASSERT_TRUE(KLVMonitoringSampledData::isValidUserDefaultsArrayEntry(first));
    EXPECT_EQ(first[1], platform::Object(100));

    // A pending save is not lost when the monitor goes (a later launch reads it).
    monitor().logWithLevel(kKLVLogErrorMonitored, 12056, "Transaction failed", 1);
    testkit::drain(monitor().monitorQueue());
    platform::resetSharedInstances();
    EXPECT_EQ(storedRecord()[1], platform::Object(101));
}

TEST_F(KLVMonitorTest, DispatchOfTheHealthRecord) {
    testkit::ScopedManualClock clock;
    EXPECT_EQ(monitor().monitoringDataForDispatchWithSamplePeriod(3600, 0), std::nullopt);
    EXPECT_EQ(monitor().monitoringDataForDispatchWithSamplePeriod(3600, clock->now() - 3601), "0:");
    EXPECT_EQ(monitor().monitoringDataForDispatchWithSamplePeriod(3600, clock->now() - 3600),
              std::nullopt);

    monitor().logWithLevel(kKLVLogWarningMonitored, 29000, "Lost");
    // Saved a second after the report reached the monitor's queue.
    testkit::drain(monitor().monitorQueue());
    clock.advance(3600);
    EXPECT_EQ(monitor().monitoringDataForDispatchWithSamplePeriod(3600, 0), std::nullopt);
    EXPECT_TRUE(storedRecord().isArray());
    clock.advance(1);
    EXPECT_EQ(monitor().monitoringDataForDispatchWithSamplePeriod(3600, 0), "1:1W_110100:Lost");
    EXPECT_TRUE(storedRecord().isNull());
    EXPECT_EQ(monitor().monitoringDataForDispatchWithSamplePeriod(3600, 0), std::nullopt);

    monitor().logWithLevel(kKLVLogWarningSilent, 26004, "Unable to generate random integer", "EIO");
    clock.advance(7200);
    EXPECT_EQ(monitor().monitoringDataForDispatchWithSamplePeriod(3600, 0),
              "1:1W_110100:Unable to generate random integer:-");
}

TEST_F(KLVMonitorTest, MalformedStoredRecordIsIgnored) {
    platform::UserDefaults(kKLVMonitorSuiteName)
        .setObject(platform::Object::array({"ctx", "not a number", "key", platform::Date{1}}),
                   kKLVHealthMonitorKey);
    testkit::ScopedManualClock clock;
    clock.advance(1e6);
    EXPECT_EQ(monitor().monitoringDataForDispatchWithSamplePeriod(1, 0), std::nullopt);
    EXPECT_THAT(logLines(), IsEmpty());
}

}  // namespace
}  // namespace engine
