#include "engine/base/KLVErrors.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace engine {
namespace {

TEST(KLVErrorsTest, EngineErrorsCarryDomainCodeAndMonitorContext) {
    const auto plain = klv_errorWithCode(1, "Received empty database path on init");
    EXPECT_EQ(plain.domain, "com.nexory.zkt.measurement.ErrorDomain");
    EXPECT_EQ(plain.code, 1);
    EXPECT_EQ(plain.description, "Received empty database path on init");
    EXPECT_TRUE(plain.userInfo.empty());

    const auto withContext = klv_errorWithCode(3, "Failed to end transaction", "sqlite:5");
    EXPECT_EQ(withContext.userInfo.at("KLVMonitorContext"), platform::Object("sqlite:5"));

    platform::Error out;
    KLVSetErrorWithMonitorContext(&out, 2, "Database not open", "");
    EXPECT_EQ(out, klv_errorWithCode(2, "Database not open"));
    KLVSetError(nullptr, 2, "nobody asked");
}

TEST(KLVErrorsTest, ChecksReportTheirVerdictAndFillTheError) {
    const int value = 5;
    const std::shared_ptr<int> none;
    struct Case {
        bool verdict;
        bool passes;
    };
    platform::Error error;
    const Case cases[] = {
        {KLVCheckCondition(true, &error, 1, "c"), true},
        {KLVCheckCondition(false, &error, 1, "c"), false},
        {KLVCheckPointer(&value, &error, 1, "p"), true},
        {KLVCheckPointer(nullptr, &error, 1, "p"), false},
        {KLVCheckNonZero(3, &error, 1, "n"), true},
        {KLVCheckNonZero(0, &error, 1, "n"), false},
        {KLVCheckObject(std::make_shared<int>(1), &error, 1, "o"), true},
        {KLVCheckObject(none, &error, 1, "o"), false},
        {KLVCheckObject(std::optional<int>(), &error, 1, "o"), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.verdict, c.passes);

    platform::Error filled;
    EXPECT_FALSE(KLVCheckNonZero(0, &filled, 1, "Received empty database path on init"));
    EXPECT_EQ(filled, klv_errorWithCode(1, "Received empty database path on init"));
    platform::Error untouched{"other", 7, "kept", {}};
    EXPECT_TRUE(KLVCheckNonZero(1, &untouched, 1, "x"));
    EXPECT_EQ(untouched.code, 7);
    EXPECT_FALSE(KLVCheckNonZero(0, nullptr, 1, "x"));
}

TEST(KLVErrorsTest, MonitorContextsComeOnlyFromEngineErrors) {
    platform::Error foreign{"NSCocoaErrorDomain", 4, "gone", {}};
    foreign.userInfo.emplace("KLVMonitorContext", "foreign");
    const MonitorContexts contexts = {klv_errorWithCode(1, "a", "first"),  "text",
                                      klv_errorWithCode(2, "b"),           foreign,
                                      klv_errorWithCode(3, "c", "second"), nullptr};
    EXPECT_EQ(KLVMonitorContextsFromErrors(contexts), "first,second");
    EXPECT_EQ(KLVMonitorContextsFromErrors({}), "");
}

}  // namespace
}  // namespace engine
