#include "platform/foundation/ProcessInfo.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/foundation/SharedInstance.h"

namespace platform {
namespace {

TEST(ProcessInfoTest, ArgumentsAndEnvironmentAreReplaceableAndReset) {
    resetSharedInstances();
    auto& info = ProcessInfo::processInfo();
    const auto own = info.arguments();
    ASSERT_FALSE(own.empty());
    EXPECT_EQ(info.processName(), std::filesystem::path(own.front()).filename().string());

    info.setArguments({"/opt/bin/tessaline", "-TRWAnalyticsVerboseLoggingEnabled"});
    info.setEnvironment({{"ActivePrewarm", "1"}});
    EXPECT_EQ(info.arguments().size(), 2u);
    EXPECT_EQ(info.processName(), "tessaline");
    EXPECT_EQ(info.environmentValue("ActivePrewarm"), "1");
    EXPECT_EQ(info.environmentValue("PATH"), std::nullopt);

    resetSharedInstances();
    EXPECT_EQ(ProcessInfo::processInfo().arguments(), own);
}

}  // namespace
}  // namespace platform
