#include "platform/host/TRWInstallations.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>

#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SharedInstance.h"
#include "testkit/TempHome.h"

namespace platform {
namespace {

struct Answer {
    std::optional<std::string> identifier;
    std::optional<Error> error;
};

Answer fetch() {
    std::promise<Answer> promise;
    TRWInstallations::installations().installationIDWithCompletion(
        [&promise](std::optional<std::string> identifier, std::optional<Error> error) {
            promise.set_value({std::move(identifier), std::move(error)});
        });
    auto future = promise.get_future();
    // The guard only ends a test whose completion never comes.
    EXPECT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << "the installation ID's completion never ran";
    return future.get();
}

class TRWInstallationsTest : public testkit::TempHomeTest {};

TEST_F(TRWInstallationsTest, OneIdentifierPerInstallationKeptAcrossLaunches) {
    std::atomic<int> changes{0};
    auto observer = NotificationCenter::defaultCenter().addObserverForName(
        kTRWInstallationIDDidChangeNotification, nullptr, [&](const Notification&) { ++changes; });
    const Answer first = fetch();
    ASSERT_TRUE(first.identifier);
    EXPECT_FALSE(first.error);
    EXPECT_EQ(first.identifier->size(), 22u);
    EXPECT_EQ(first.identifier->find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    EXPECT_EQ(fetch().identifier, first.identifier);
    EXPECT_EQ(changes.load(), 1);
    observer.reset();

    resetSharedInstances();  // a later launch on the same data root
    EXPECT_EQ(fetch().identifier, first.identifier);
}

}  // namespace
}  // namespace platform
