#include "engine/base/KLVErrors.h"

#include <gtest/gtest.h>

#include <optional>

namespace engine {
namespace {

TEST(KLVErrorsTest, EngineErrorsCarryDomainCodeAndMonitorContext) {
    EXPECT_EQ(klv_errorWithCode(1, "x").domain, "com.nexory.zkt.measurement.ErrorDomain");

    const auto withContext = klv_errorWithCode(3, "Failed to end transaction", "sqlite:5");
    EXPECT_EQ(withContext.userInfo.at("KLVMonitorContext"), platform::Object("sqlite:5"));

    platform::Error out;
    KLVSetErrorWithMonitorContext(&out, 2, "Database not open", "");
    EXPECT_EQ(out, klv_errorWithCode(2, "Database not open"));
    KLVSetError(nullptr, 2, "nobody asked");

    // A check that passes leaves the error as it was.
    platform::Error untouched{"other", 7, "kept", {}};
    EXPECT_TRUE(KLVCheckNonZero(1, &untouched, 1, "x"));
    EXPECT_EQ(untouched.code, 7);
    EXPECT_FALSE(KLVCheckObject(std::optional<int>(), &untouched, 1, "o"));
    EXPECT_EQ(untouched, klv_errorWithCode(1, "o"));
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
