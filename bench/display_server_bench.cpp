// How long the display server takes to answer a request on loopback: on an empty server (the
// floor: a connection, a request and its answer), beside a full table of connections that send
// nothing, and beside a full table of held polls that are sent again as soon as they are
// answered. Each request is timed on its own, so the median and the 99th percentile can be
// reported; the flood is kept up between requests, outside the timing.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/display/HttpServer.h"
#include "testkit/RawSocket.h"

namespace {

using platform::loopback::Exchange;
using platform::loopback::Response;
using testkit::RawSocket;

constexpr auto kWait = std::chrono::seconds(60);

enum class Flood { none, idle, heldPolls };

// Answers "/echo" at once; keeps "/poll" unanswered, to be answered early when room is needed.
class Bench {
  public:
    Bench()
        : server_(0, {}, [this](const std::shared_ptr<Exchange>& exchange) {
              if (exchange->request().path != "/poll") {
                  exchange->respond({200, "text/plain", "ok"});
                  return;
              }
              exchange->allowEarlyAnswer([] { return Response{200, "text/plain", "frame"}; });
              std::lock_guard lock(mutex_);
              held_.push_back(exchange);
          }) {}

    std::string request(const std::string& path) const {
        return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server_.port()) +
               "\r\n\r\n";
    }

    void fill(Flood flood) {
        flood_ = flood;
        const std::size_t table = platform::loopback::Limits{}.maxConnections;
        for (std::size_t i = 0; i < table; ++i)
            open();
    }

    // Reopens every flood connection the server answered or closed.
    void keepUp() {
        for (auto& socket : flood_sockets_) {
            if (!socket->readable(std::chrono::milliseconds(0))) continue;
            socket->readUntilClosed(kWait);
            socket = connect();
        }
        std::lock_guard lock(mutex_);
        std::erase_if(held_, [](const auto& exchange) { return exchange->closed(); });
    }

    // One request and its whole answer, in microseconds.
    double timedRequest() {
        const auto begin = std::chrono::steady_clock::now();
        RawSocket client(server_.port());
        client.send(request("/echo"));
        client.readUntilClosed(kWait);
        const auto end = std::chrono::steady_clock::now();
        return std::chrono::duration<double, std::micro>(end - begin).count();
    }

  private:
    std::unique_ptr<RawSocket> connect() {
        auto socket = std::make_unique<RawSocket>(server_.port());
        if (flood_ == Flood::heldPolls) socket->send(request("/poll"));
        return socket;
    }
    void open() { flood_sockets_.push_back(connect()); }

    platform::loopback::Server server_;
    Flood flood_ = Flood::none;
    std::vector<std::unique_ptr<RawSocket>> flood_sockets_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Exchange>> held_;
};

void BM_Request(benchmark::State& state, Flood flood) {
    Bench bench;
    if (flood != Flood::none) bench.fill(flood);
    constexpr std::size_t kBatch = 200;
    std::vector<double> micros;
    for (auto _ : state) {
        micros.clear();
        for (std::size_t i = 0; i < kBatch; ++i) {
            state.PauseTiming();
            bench.keepUp();
            state.ResumeTiming();
            micros.push_back(bench.timedRequest());
        }
        state.PauseTiming();
        std::sort(micros.begin(), micros.end());
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[micros.size() * 99 / 100];
        state.counters["max_us"] = micros.back();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK_CAPTURE(BM_Request, empty_server, Flood::none)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Request, beside_256_idle_connections, Flood::idle)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Request, beside_256_held_polls, Flood::heldPolls)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

}  // namespace
