#include "platform/display/HttpServer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "testkit/RawSocket.h"

namespace platform::loopback {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testkit::bodyOf;
using testkit::RawSocket;
using testkit::statusOf;

// A bound on waiting for the server, reached only when it fails: far above what a loaded machine
// needs. How fast requests are served beside floods is measured in bench/display_server_bench.
constexpr auto kWait = 60s;
// What a refused flood may add to the peak resident size: a connection holds about 100 KiB, and
// the sanitizers' shadow and quarantine add about 2 MiB of their own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kFloodGrowthKiB = 6144;
#else
constexpr long kFloodGrowthKiB = 2048;
#endif

// A server whose handler echoes "/echo", keeps "/hold" requests unanswered, keeps "/poll"
// requests unanswered but lets the server answer them early ("early ?<query>"), and throws for
// "/throw".
class HttpServerTest : public testing::Test {
  protected:
    void start(Limits limits = {}) {
        server_ =
            std::make_unique<Server>(0, limits, [this](const std::shared_ptr<Exchange>& exchange) {
                const Request& request = exchange->request();
                std::lock_guard lock(mutex_);
                ++handled_;
                if (request.path == "/throw") throw std::runtime_error("handler failed");
                if (request.path == "/poll") {
                    exchange->allowEarlyAnswer([query = request.query] {
                        return Response{200, "text/plain", "early ?" + query};
                    });
                }
                if (request.path == "/hold" || request.path == "/poll") {
                    held_.push_back(exchange);
                    changed_.notify_all();
                    return;
                }
                exchange->respond({200, "text/plain",
                                   request.method + " " + request.path + " ?" + request.query +
                                       " " + request.body});
            });
    }

    std::string host() const { return "127.0.0.1:" + std::to_string(server_->port()); }
    std::string get(const std::string& target) const {
        return "GET " + target + " HTTP/1.1\r\nHost: " + host() + "\r\n\r\n";
    }

    // Sends `request` and reads the answer up to the server's close.
    std::string exchange(const std::string& request) {
        RawSocket client(server_->port());
        EXPECT_TRUE(client.send(request));
        return client.readUntilClosed(kWait);
    }

    // Polls `done` until it holds or kWait passes; the server's thread does the work meanwhile.
    static bool waitFor(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }

    bool waitForHeld(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return held_.size() >= count; });
    }
    int handled() {
        std::lock_guard lock(mutex_);
        return handled_;
    }

    std::unique_ptr<Server> server_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<Exchange>> held_;
    int handled_ = 0;
};

std::string refusal(const char* error) {
    return json{{"ok", false}, {"error", error}}.dump();
}

// A chunked body of `chunks` chunks of `size` bytes, without its last chunk.
std::string chunks(int chunks, std::size_t size) {
    std::string body;
    char line[32];
    for (int i = 0; i < chunks; ++i) {
        std::snprintf(line, sizeof line, "%zx\r\n", size);
        body += line + std::string(size, 'c') + "\r\n";
    }
    return body;
}

TEST_F(HttpServerTest, RefusesWhatItWillNotServeWithoutCallingTheHandler) {
    start();
    const std::string own = host();
    std::string manyFields;
    for (int i = 0; i < 101; ++i)
        manyFields += "X-Field-" + std::to_string(i) + ": 1\r\n";
    const std::string post = "POST /echo HTTP/1.1\r\nHost: " + own + "\r\n";
    struct Case {
        const char* name;
        std::string request;
        int status;
        const char* error;
    };
    const Case cases[] = {
        {"one long field",
         "GET /echo HTTP/1.1\r\nHost: " + own + "\r\nX-Big: " + std::string(40000, 'a') +
             "\r\n\r\n",
         431, "request header too large"},
        {"a long request line", "GET /" + std::string(40000, 'a') + " HTTP/1.1\r\n\r\n", 431,
         "request header too large"},
        {"101 fields", "GET /echo HTTP/1.1\r\nHost: " + own + "\r\n" + manyFields + "\r\n", 431,
         "too many header fields"},
        {"declared body past the cap", post + "Content-Length: 65537\r\n\r\n", 413,
         "request body too large"},
        {"chunks past the cap",
         post + "Transfer-Encoding: chunked\r\n\r\n" + chunks(17, 4096) + "0\r\n\r\n", 413,
         "request body too large"},
        {"one chunk past the cap", post + "Transfer-Encoding: chunked\r\n\r\n10001\r\n", 413,
         "request body too large"},
        {"an endless chunk extension",
         post + "Transfer-Encoding: chunked\r\n\r\n1;" + std::string(40000, 'e'), 413,
         "request body too large"},
        {"101 trailer fields",
         post + "Transfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n" + manyFields + "\r\n", 431,
         "too many header fields"},
        {"foreign host", "GET /echo HTTP/1.1\r\nHost: evil.example\r\n\r\n", 403, "forbidden"},
        {"another name for loopback",
         "GET /echo HTTP/1.1\r\nHost: localhost:" + std::to_string(server_->port()) + "\r\n\r\n",
         403, "forbidden"},
        {"no host", "GET /echo HTTP/1.0\r\n\r\n", 403, "forbidden"},
        {"two hosts", "GET /echo HTTP/1.1\r\nHost: " + own + "\r\nHost: " + own + "\r\n\r\n", 403,
         "forbidden"},
        {"foreign origin",
         "GET /echo HTTP/1.1\r\nHost: " + own + "\r\nOrigin: http://evil.example\r\n\r\n", 403,
         "forbidden"},
        {"two origins",
         "GET /echo HTTP/1.1\r\nHost: " + own + "\r\nOrigin: http://" + own +
             "\r\nOrigin: http://" + own + "\r\n\r\n",
         403, "forbidden"},
        {"not a request line", "HELLO\r\n\r\n", 400, "malformed request"},
        {"length and chunks",
         post + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n", 400,
         "malformed request"},
        {"bad escape", "GET /e%zzcho HTTP/1.1\r\nHost: " + own + "\r\n\r\n", 400,
         "malformed request target"},
        {"escaped NUL", "GET /a%00b HTTP/1.1\r\nHost: " + own + "\r\n\r\n", 400,
         "malformed request target"},
        {"absolute target", "GET http://" + own + "/echo HTTP/1.1\r\nHost: " + own + "\r\n\r\n",
         400, "malformed request target"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawSocket client(server_->port());
        client.send(c.request);
        client.shutdownWrite();
        bool closed = false;
        std::string answer = client.readUntilClosed(kWait, &closed);
        EXPECT_TRUE(closed);
        EXPECT_EQ(statusOf(answer), c.status) << answer;
        EXPECT_EQ(bodyOf(answer), refusal(c.error));
    }
    EXPECT_EQ(handled(), 0);
}

TEST_F(HttpServerTest, BodiesWithinTheCapReachTheHandlerDecoded) {
    start();
    const std::string own = host();
    const std::string full(64 * 1024, 'f');
    struct Case {
        const char* name;
        std::string request;
        std::string echoed;
    };
    const Case cases[] = {
        {"chunks with extensions and trailers",
         "POST /echo HTTP/1.1\r\nHost: " + own +
             "\r\nTransfer-Encoding: chunked\r\n\r\n3;x=1\r\nabc\r\n2\r\nde\r\n0\r\nX-T: 1\r\n\r\n",
         "POST /echo ? abcde"},
        {"exactly the cap",
         "POST /echo HTTP/1.1\r\nHost: " + own + "\r\nContent-Length: 65536\r\n\r\n" + full,
         "POST /echo ? " + full},
        {"the cap in chunks",
         "POST /echo HTTP/1.1\r\nHost: " + own + "\r\nTransfer-Encoding: chunked\r\n\r\n" +
             chunks(16, 4096) + "0\r\n\r\n",
         "POST /echo ? " + std::string(64 * 1024, 'c')},
        {"escaped path and raw query",
         "GET /ec%68o?after=5&x=%41 HTTP/1.1\r\nHost: " + own + "\r\nOrigin: http://" + own +
             "\r\n\r\n",
         "GET /echo ?after=5&x=%41 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string answer = exchange(c.request);
        EXPECT_EQ(statusOf(answer), 200);
        EXPECT_EQ(bodyOf(answer), c.echoed);
        EXPECT_NE(answer.find("\r\nConnection: close\r\n"), std::string::npos) << answer;
    }
}

TEST_F(HttpServerTest, ABodyAwaitingContinueIsAskedForOnlyWhenItFits) {
    start();
    RawSocket client(server_->port());
    client.send("POST /echo HTTP/1.1\r\nHost: " + host() +
                "\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n");
    EXPECT_EQ(client.readUntil("\r\n\r\n", kWait), "HTTP/1.1 100 Continue\r\n\r\n");
    client.send("hello");
    std::string answer = client.readUntilClosed(kWait);
    EXPECT_EQ(statusOf(answer), 200);
    EXPECT_EQ(bodyOf(answer), "POST /echo ? hello");

    RawSocket large(server_->port());
    large.send("POST /echo HTTP/1.1\r\nHost: " + host() +
               "\r\nContent-Length: 70000\r\nExpect: 100-continue\r\n\r\n");
    EXPECT_EQ(statusOf(large.readUntilClosed(kWait)), 413);
}

// The peak resident size (VmHWM) can be reset to the current one through clear_refs.
long statusKiB(const std::string& field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}

TEST_F(HttpServerTest, FloodsAreRefusedWithoutGrowth) {
    start();
    const std::string own = host();
    std::string headerLines, chunkLines;
    for (int i = 0; headerLines.size() < 64 * 1024; ++i)
        headerLines += "X-Filler-" + std::to_string(i) + ": some value of a header line\r\n";
    chunkLines = chunks(16, 4096);
    struct Case {
        const char* name;
        std::string head;
        const std::string& block;
        int status;
    };
    const Case cases[] = {
        {"10 MB of header lines", "GET /echo HTTP/1.1\r\nHost: " + own + "\r\n", headerLines, 431},
        {"10 MB of chunks",
         "POST /echo HTTP/1.1\r\nHost: " + own + "\r\nTransfer-Encoding: chunked\r\n\r\n",
         chunkLines, 413},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream reset("/proc/self/clear_refs");
        if (!reset.write("5", 1).flush()) GTEST_SKIP() << "the peak cannot be reset here";
        long before = statusKiB("VmRSS");
        RawSocket client(server_->port());
        client.send(c.head);
        std::size_t sent = 0;
        while (sent < 10 * 1024 * 1024 && client.send(c.block))
            sent += c.block.size();
        EXPECT_GE(sent, 10u * 1024 * 1024) << "the server cut the client off";
        client.shutdownWrite();
        std::string answer = client.readUntilClosed(kWait);
        long growth = statusKiB("VmHWM") - before;
        EXPECT_EQ(statusOf(answer), c.status) << answer;
        EXPECT_LT(growth, kFloodGrowthKiB) << growth << " KiB";
    }
    EXPECT_EQ(handled(), 0);
}

TEST_F(HttpServerTest, SilentAndSlowClientsAreDroppedAfterTheIdleTimeWithoutBlockingOthers) {
    Limits limits;
    limits.idleTimeout = 300ms;
    start(limits);
    auto began = std::chrono::steady_clock::now();
    RawSocket silent(server_->port());
    silent.send("GET /echo HTTP/1.1\r\nHo");
    // Another client is served meanwhile.
    EXPECT_EQ(bodyOf(exchange(get("/echo"))), "GET /echo ? ");
    bool closed = false;
    EXPECT_EQ(silent.readUntilClosed(kWait, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_GE(std::chrono::steady_clock::now() - began, limits.idleTimeout);

    // A client that sends a byte whenever the server has been quiet for 20 ms never completes
    // its header: the idle time counts from the start of the request, not from the last byte.
    began = std::chrono::steady_clock::now();
    RawSocket slow(server_->port());
    slow.send("GET /echo HTTP/1.1\r\nX-Slow: ");
    std::size_t trickled = 0;
    while (!slow.readable(20ms) && std::chrono::steady_clock::now() - began < kWait) {
        slow.send("s");
        ++trickled;
    }
    auto lasted = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(slow.readUntilClosed(kWait, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_GE(lasted, limits.idleTimeout);
    EXPECT_GT(trickled, 0u);
}

TEST_F(HttpServerTest, WaitingRequestsHoldNoThreadAndLearnWhenTheirClientGoes) {
    start();
    std::vector<std::unique_ptr<RawSocket>> waiting;
    for (int i = 0; i < 64; ++i) {
        waiting.push_back(std::make_unique<RawSocket>(server_->port()));
        waiting.back()->send(get("/hold?n=" + std::to_string(i)));
    }
    ASSERT_TRUE(waitForHeld(64));
    EXPECT_EQ(bodyOf(exchange(get("/echo"))), "GET /echo ? ");

    std::vector<std::shared_ptr<Exchange>> held;
    {
        std::lock_guard lock(mutex_);
        held = held_;
    }
    // The first client leaves; its request learns it.
    std::shared_ptr<Exchange> left;
    for (const auto& exchange : held)
        if (exchange->request().query == "n=0") left = exchange;
    ASSERT_TRUE(left);
    EXPECT_FALSE(left->closed());
    waiting[0]->close();
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!left->closed() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_TRUE(left->closed());

    // Answers from this thread reach the others; a second answer is ignored.
    for (const auto& exchange : held) {
        exchange->respond({200, "text/plain", exchange->request().query});
        exchange->respond({500, "text/plain", "again"});
    }
    for (int i = 1; i < 64; ++i) {
        std::string answer = waiting[i]->readUntilClosed(kWait);
        EXPECT_EQ(statusOf(answer), 200);
        EXPECT_EQ(bodyOf(answer), "n=" + std::to_string(i));
    }
}

TEST_F(HttpServerTest, StopAnswersWaitingRequestsAndAnUnansweredExchangeAnswers503) {
    start();
    RawSocket dropped(server_->port()), pending(server_->port());
    dropped.send(get("/hold"));
    ASSERT_TRUE(waitForHeld(1));
    {
        std::lock_guard lock(mutex_);
        held_.clear();  // the last owner lets go without answering
    }
    std::string answer = dropped.readUntilClosed(kWait);
    EXPECT_EQ(statusOf(answer), 503);
    EXPECT_EQ(bodyOf(answer), refusal("shutting down"));

    pending.send(get("/hold"));
    ASSERT_TRUE(waitForHeld(1));
    EXPECT_EQ(statusOf(exchange(get("/throw"))), 500);
    server_->stop();
    answer = pending.readUntilClosed(kWait);
    EXPECT_EQ(statusOf(answer), 503);
    EXPECT_EQ(bodyOf(answer), refusal("shutting down"));
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(held_[0]->closed());
    held_[0]->respond({200, "text/plain", "late"});  // reaches nobody, harms nothing
    EXPECT_FALSE(RawSocket(server_->port()).isOpen());
}

// A connection that made room for a newer one reads the end of the stream.
bool wasClosed(RawSocket& socket) {
    bool closed = false;
    socket.readUntilClosed(kWait, &closed);
    return closed;
}

TEST_F(HttpServerTest, AFullServerClosesItsOldestConnectionWithoutARequestToAdmitANewOne) {
    Limits limits;
    limits.maxConnections = 3;
    limits.firstByteTimeout = limits.idleTimeout;  // only making room is at work here
    start(limits);
    RawSocket waiting(server_->port());
    waiting.send(get("/hold"));
    ASSERT_TRUE(waitForHeld(1));
    RawSocket silent(server_->port()), partial(server_->port());
    partial.send("GET /echo HTTP/1.1\r\nHo");
    ASSERT_TRUE(waitFor([&] { return server_->connectionCount() == 3; }));

    // The oldest without a whole request goes first: the silent one, then the partial one; the
    // request waiting for its answer stays.
    EXPECT_EQ(bodyOf(exchange(get("/echo"))), "GET /echo ? ");
    EXPECT_TRUE(wasClosed(silent));
    ASSERT_TRUE(waitFor([&] { return server_->connectionCount() == 2; }));
    RawSocket later(server_->port());
    ASSERT_TRUE(waitFor([&] { return server_->connectionCount() == 3; }));
    EXPECT_EQ(bodyOf(exchange(get("/echo"))), "GET /echo ? ");
    EXPECT_TRUE(wasClosed(partial));
    EXPECT_FALSE(later.readable(0ms));
    later.close();
    ASSERT_TRUE(waitFor([&] { return server_->connectionCount() == 1; }));

    // One whose answer went out but that stays open makes room when no other can.
    RawSocket lingering(server_->port());
    lingering.send(get("/echo"));
    EXPECT_EQ(lingering.readUntil("GET /echo ? ", kWait).find("200 OK"), 9u);
    RawSocket holding(server_->port());
    holding.send(get("/hold"));
    ASSERT_TRUE(waitForHeld(2));
    EXPECT_EQ(statusOf(exchange(get("/echo"))), 200);
    ASSERT_TRUE(waitFor([&] { return server_->connectionCount() == 2; }));

    // When every connection waits for its answer, a new one is closed at once.
    RawSocket third(server_->port());
    third.send(get("/hold"));
    ASSERT_TRUE(waitForHeld(3));
    RawSocket extra(server_->port());
    extra.send(get("/echo"));
    EXPECT_EQ(extra.readUntilClosed(kWait), "");
    std::vector<std::shared_ptr<Exchange>> held;
    {
        std::lock_guard lock(mutex_);
        held = held_;
    }
    for (const auto& exchange : held)
        exchange->respond({200, "text/plain", "held"});
    for (RawSocket* client : {&waiting, &holding, &third})
        EXPECT_EQ(bodyOf(client->readUntilClosed(kWait)), "held");
}

TEST_F(HttpServerTest, UnderPressureANewConnectionMustSpeakSoon) {
    Limits limits;
    limits.maxConnections = 4;
    limits.firstByteTimeout = 100ms;
    // Longer than the test waits: a silent connection closed is closed by the first-byte time.
    limits.idleTimeout = 1h;
    start(limits);
    // Below half the limit, a silent client has the whole idle time.
    RawSocket first(server_->port()), second(server_->port());
    ASSERT_TRUE(waitFor([&] { return server_->connectionCount() == 2; }));
    const auto began = std::chrono::steady_clock::now();
    RawSocket silent(server_->port()), speaking(server_->port());
    speaking.send("G");
    EXPECT_TRUE(wasClosed(silent));
    EXPECT_GE(std::chrono::steady_clock::now() - began, limits.firstByteTimeout);
    // One that spoke in time has the idle time for the rest of its request.
    speaking.send(get("/echo").substr(1));
    EXPECT_EQ(bodyOf(speaking.readUntilClosed(kWait)), "GET /echo ? ");
    EXPECT_FALSE(first.readable(0ms));
    EXPECT_FALSE(second.readable(0ms));
}

TEST_F(HttpServerTest, AFloodOfSilentConnectionsLocksNoOneOut) {
    Limits limits;
    limits.firstByteTimeout = limits.idleTimeout;  // only making room is at work here
    start(limits);
    std::deque<std::unique_ptr<RawSocket>> flood;
    for (std::size_t i = 0; i < limits.maxConnections; ++i)
        flood.push_back(std::make_unique<RawSocket>(server_->port()));
    ASSERT_TRUE(waitFor([&] { return server_->connectionCount() == limits.maxConnections; }));
    // Each request closes the oldest silent connection, which the flood opens again at once.
    for (int i = 0; i < 36; ++i) {
        EXPECT_EQ(bodyOf(exchange(get("/echo"))), "GET /echo ? ");
        EXPECT_TRUE(wasClosed(*flood.front()));
        flood.pop_front();
        ASSERT_TRUE(waitFor([&] { return server_->connectionCount() < limits.maxConnections; }));
        flood.push_back(std::make_unique<RawSocket>(server_->port()));
    }
    EXPECT_TRUE(waitFor([&] { return server_->connectionCount() == limits.maxConnections; }));
}

// A table full of held polls, each sent again as soon as it is answered (as open pages and a
// hostile local client do), locks no one out: each new connection makes the oldest poll take its
// early answer at once. A request held without an early answer keeps its place.
TEST_F(HttpServerTest, AFullServerAnswersItsOldestPollEarlyToAdmitANewConnection) {
    Limits limits;
    limits.maxConnections = 8;
    limits.firstByteTimeout = limits.idleTimeout;  // only making room is at work here
    start(limits);
    RawSocket holding(server_->port());
    holding.send(get("/hold"));
    ASSERT_TRUE(waitForHeld(1));
    std::deque<std::unique_ptr<RawSocket>> polls;
    int sent = 0;
    const auto poll = [&] {
        polls.push_back(std::make_unique<RawSocket>(server_->port()));
        polls.back()->send(get("/poll?n=" + std::to_string(sent++)));
        return waitForHeld(static_cast<std::size_t>(sent) + 1);
    };
    for (int i = 1; i < 8; ++i)
        ASSERT_TRUE(poll());
    ASSERT_EQ(server_->connectionCount(), 8u);
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        // A request of each kind the page makes: an action, and a poll of its own.
        EXPECT_EQ(bodyOf(exchange(get("/echo"))), "GET /echo ? ");
        bool closed = false;
        const std::string early = polls.front()->readUntilClosed(kWait, &closed);
        EXPECT_TRUE(closed);
        EXPECT_EQ(statusOf(early), 200);
        EXPECT_EQ(bodyOf(early), "early ?n=" + std::to_string(sent - 7));
        polls.pop_front();
        ASSERT_TRUE(poll());
        EXPECT_LE(server_->connectionCount(), limits.maxConnections);
    }
    // The held request without an early answer was never touched, and answers as usual.
    EXPECT_FALSE(holding.readable(0ms));
    std::shared_ptr<Exchange> first;
    {
        std::lock_guard lock(mutex_);
        first = held_.front();
    }
    EXPECT_EQ(first->request().path, "/hold");
    EXPECT_FALSE(first->closed());
    first->respond({200, "text/plain", "held"});
    EXPECT_EQ(bodyOf(holding.readUntilClosed(kWait)), "held");
    // An exchange answered early is closed: its own answer comes too late and is ignored.
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(held_[1]->closed());
    held_[1]->respond({200, "text/plain", "late"});
}

TEST_F(HttpServerTest, ABusyPortIsRefusedAndPortZeroPicksOne) {
    start();
    EXPECT_GT(server_->port(), 0);
    EXPECT_THROW(Server(server_->port(), {}, [](const auto&) {}), std::runtime_error);
    EXPECT_THROW(Server(70000, {}, [](const auto&) {}), std::runtime_error);
}

TEST(HttpRequestTest, ParametersAreDecoded) {
    Request request;
    request.query = "after=12&instance=a%2Fb&empty&plus=a+b&bad=%g1&after=99";
    struct Case {
        const char* name;
        std::optional<std::string> value;
    };
    const Case cases[] = {
        {"after", "12"},       {"instance", "a/b"},       {"empty", ""},         {"plus", "a b"},
        {"bad", std::nullopt}, {"missing", std::nullopt}, {"aft", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(request.parameter(c.name), c.value) << c.name;
    EXPECT_EQ(percentDecode("%41%2e%2E+%"), std::nullopt);
    EXPECT_EQ(percentDecode("%41%2e%2E+"), "A..+");
    EXPECT_EQ(percentDecode("%4"), std::nullopt);
}

}  // namespace
}  // namespace platform::loopback
