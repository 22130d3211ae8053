#include "platform/utilities/WDLNetwork.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/SharedInstance.h"
#include "platform/net/Reachability.h"
#include "testkit/LoopbackServer.h"

namespace platform {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

struct Outcome {
    std::optional<WDLNetworkResponse> response;
    Data data;
    std::optional<Error> error;
    bool onGivenQueue = false;
};

class RecordingDelegate : public WDLNetworkLoggerDelegate, public WDLNetworkReachabilityDelegate {
  public:
    void WDLNetwork_logWithLevel(int level, std::int64_t code, std::string_view message,
                                 const std::vector<Object>&) override {
        std::lock_guard lock(mutex);
        lines.push_back(std::to_string(level) + " " + std::to_string(code) + " " +
                        std::string(message));
    }
    void reachabilityDidChange() override { ++changes; }

    std::mutex mutex;
    std::vector<std::string> lines;
    std::atomic<int> changes{0};
};

class WDLNetworkTest : public ::testing::Test {
  protected:
    // Shared state is reset after each test only: the component below observes the default
    // notification centre from its construction on.
    void TearDown() override { resetSharedInstances(); }

    // A completion handler that fulfils `outcome`.
    WDLNetworkCompletionHandler capture(std::promise<Outcome>& outcome) {
        return [&outcome, queue = queue](std::optional<WDLNetworkResponse> response, Data data,
                                         std::optional<Error> error) {
            outcome.set_value(
                {std::move(response), std::move(data), std::move(error), queue->isCurrent()});
        };
    }

    static Outcome wait(std::promise<Outcome>& outcome) {
        auto future = outcome.get_future();
        // The guard only ends a test whose completion never comes.
        EXPECT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready)
            << "the completion handler never ran";
        return future.get();
    }

    testkit::LoopbackServer server;
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("com.nexory.trwa.worker");
    WDLNetwork network{"measurement.test"};
};

TEST_F(WDLNetworkTest, RequestsCarryTheirHeadersAndCompleteOnTheGivenQueue) {
    server.answer("POST", "/a", {204, {}, "", 0, false});
    server.answer("GET", "/config", {503, {{"ETag", "v1"}}, "busy", 0, false});
    std::promise<Outcome> posted;
    EXPECT_FALSE(network
                     .postURL(server.baseURL() + "/a", {{"Content-Type", "application/x-protobuf"}},
                              Data{0x0a, 0x00, 0xff}, queue, false, capture(posted))
                     .empty());
    const Outcome post = wait(posted);
    ASSERT_TRUE(post.response);
    EXPECT_EQ(post.response->statusCode, kWDLNetworkHTTPStatusNoContent);
    EXPECT_TRUE(post.onGivenQueue);
    EXPECT_EQ(server.requests().at(0).body, std::string("\x0a\x00\xff", 3));

    std::promise<Outcome> fetched;
    network.getURL(server.baseURL() + "/config", {{"If-None-Match", "v0"}}, queue, true,
                   capture(fetched));
    const Outcome get = wait(fetched);
    ASSERT_TRUE(get.response);
    EXPECT_EQ(get.response->statusCode, kWDLNetworkHTTPStatusCodeUnavailable);
    EXPECT_EQ(get.response->expectedContentLength, 4);
    EXPECT_EQ(*get.response->header("etag"), "v1");
    EXPECT_EQ(get.data, (Data{'b', 'u', 's', 'y'}));
    EXPECT_FALSE(get.error);
    EXPECT_EQ(*server.requests().at(1).header("If-None-Match"), "v0");
}

TEST_F(WDLNetworkTest, UploadInProgressWhileARequestIsInFlight) {
    server.answer("POST", "/slow", {200, {}, "", 30, false});
    std::promise<Outcome> outcome;
    network.postURL(server.baseURL() + "/slow", Data{1}, queue, false, capture(outcome));
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_TRUE(network.hasUploadInProgress());
    server.stop();  // cuts the delay short
    wait(outcome);
    EXPECT_FALSE(network.hasUploadInProgress());
}

TEST_F(WDLNetworkTest, OfflineRequestsFailAndReachabilityIsReported) {
    const auto delegate = std::make_shared<RecordingDelegate>();
    network.setReachabilityDelegate(delegate);
    network.setLoggerDelegate(delegate);
    Reachability::shared().setReachable(false);
    EXPECT_FALSE(network.isNetworkConnected());
    std::promise<Outcome> outcome;
    network.postURL(server.baseURL() + "/a", Data{1}, queue, false, capture(outcome));
    const Outcome result = wait(outcome);
    EXPECT_FALSE(result.response);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, kURLErrorNotConnectedToInternet);
    Reachability::shared().setReachable(true);
    EXPECT_TRUE(network.isNetworkConnected());
    EXPECT_EQ(delegate->changes.load(), 2);
    std::lock_guard lock(delegate->mutex);
    EXPECT_THAT(delegate->lines, ElementsAre("7 900001 Sending request. Session ID, URL",
                                             "4 900002 Request failed. Session ID, error"));
}

TEST_F(WDLNetworkTest, EmptyURLStillCompletes) {
    std::promise<Outcome> outcome;
    EXPECT_EQ(network.postURL("", Data{}, queue, false, capture(outcome)), "");
    const Outcome result = wait(outcome);
    EXPECT_TRUE(result.error);
    EXPECT_TRUE(result.onGivenQueue);
}

}  // namespace
}  // namespace platform
