#include "testkit/LoopbackServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "platform/dispatch/SerialQueue.h"

namespace testkit {
namespace {

using platform::HttpMethod;
using platform::HttpRequest;
using platform::HttpResult;

class LoopbackServerTest : public ::testing::Test {
  protected:
    // Sends one request and waits for its completion.
    HttpResult fetch(const std::string& method, const std::string& target) {
        HttpRequest request;
        request.method = method == "POST" ? HttpMethod::Post : HttpMethod::Get;
        request.url = server.baseURL() + target;
        std::promise<HttpResult> done;
        client.send(request, queue, [&](HttpResult result) { done.set_value(std::move(result)); });
        return done.get_future().get();
    }

    int statusOf(const std::string& method, const std::string& target) {
        const HttpResult result = fetch(method, target);
        return result.response ? result.response->statusCode : -1;
    }

    platform::SerialQueue queue{"test.loopback"};
    LoopbackServer server;
    platform::HttpClient client;
};

TEST_F(LoopbackServerTest, UsesScriptedAnswersInOrderAndRepeatsTheLast) {
    ASSERT_TRUE(server.isRunning());
    EXPECT_EQ(server.baseURL(), "http://127.0.0.1:" + std::to_string(server.port()));
    server.answer("POST", "/a", {503, {}, ""});
    server.answer("POST", "/a", {500, {}, ""});
    server.answer("POST", "/a", {204, {}, ""});
    server.answer("GET", "/a", {200, {}, "get"});

    const std::pair<std::string, int> expected[] = {
        {"POST", 503}, {"POST", 500}, {"GET", 200}, {"POST", 204}, {"POST", 204}};
    for (const auto& [method, status] : expected) {
        EXPECT_EQ(statusOf(method, "/a"), status) << method;
    }
    EXPECT_EQ(statusOf("GET", "/b"), 404);
    EXPECT_EQ(statusOf("POST", "/a/"), 404);
}

TEST_F(LoopbackServerTest, RecordsEveryRequestInArrivalOrderAsSent) {
    fetch("GET", "/config/app/1%3A42%3Aios?platform=ios&zkt_version=5");
    fetch("POST", "/a");
    ASSERT_TRUE(server.waitForRequests(2));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/config/app/1%3A42%3Aios");
    EXPECT_EQ(requests[0].query, "platform=ios&zkt_version=5");
    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[1].path, "/a");
    EXPECT_EQ(requests[1].query, "");
    for (const auto& request : requests) {
        EXPECT_EQ(*request.header("host"), "127.0.0.1:" + std::to_string(server.port()));
        EXPECT_FALSE(request.header("REMOTE_ADDR"));
        EXPECT_FALSE(request.header("LOCAL_PORT"));
    }
    EXPECT_FALSE(server.waitForRequests(3, std::chrono::milliseconds(20)));
}

TEST_F(LoopbackServerTest, TakingTheRequestsEmptiesTheRecord) {
    fetch("POST", "/a");
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(server.takeRequests().size(), 1u);
    EXPECT_TRUE(server.requests().empty());
    fetch("GET", "/b");
    ASSERT_TRUE(server.waitForRequests(1));
    const auto taken = server.takeRequests();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].path, "/b");
}

TEST_F(LoopbackServerTest, StopCutsAScriptedDelayShort) {
    // A day: a stop that waited for it would never return within the guard, however busy the
    // machine.
    server.answer("GET", "/slow", {200, {}, "late", 86400, false});
    std::promise<HttpResult> done;
    HttpRequest request;
    request.url = server.baseURL() + "/slow";
    client.send(request, queue, [&](HttpResult result) { done.set_value(std::move(result)); });
    ASSERT_TRUE(server.waitForRequests(1));

    auto stopped = std::async(std::launch::async, [&] { server.stop(); });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << "the stop waited for the scripted delay";
    done.get_future().get();
    EXPECT_FALSE(server.isRunning());
    server.stop();
}

TEST(LoopbackServerTls, ServesACertificateForItsNamesAndTheLoopbackAddress) {
    LoopbackServer server({.tlsHostNames = {"measure.example.test"}});
    ASSERT_TRUE(server.isRunning());
    EXPECT_EQ(server.baseURL(), "https://127.0.0.1:" + std::to_string(server.port()));
    EXPECT_TRUE(server.certificatePEM().starts_with("-----BEGIN CERTIFICATE-----"));
    server.answer("GET", "/ping", {200, {}, "pong"});

    platform::SerialQueue queue("test.tls");
    platform::HttpClient client;
    client.setTrustedCertificates(server.certificatePEM());
    std::promise<HttpResult> done;
    HttpRequest request;
    request.url = server.baseURL() + "/ping";
    client.send(request, queue, [&](HttpResult result) { done.set_value(std::move(result)); });
    const HttpResult result = done.get_future().get();
    ASSERT_TRUE(result.response) << result.error->description;
    EXPECT_EQ(result.response->body, platform::Data({'p', 'o', 'n', 'g'}));
}

}  // namespace
}  // namespace testkit
