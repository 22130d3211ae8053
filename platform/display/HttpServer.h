#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for the display page and its driver. One I/O thread serves
// every connection without blocking: a request that waits for its answer (a long poll, work queued
// for the main thread) holds no thread, only its connection. Each connection answers one request
// and is bounded in what a client can make it keep: header bytes and fields, body bytes (chunked
// too) and the time to send a request or take an answer. Connections that send nothing cannot
// lock others out: under pressure a new one must speak soon, and a full server makes room by
// closing the oldest connection that has not yet sent its request.
//
// Only pages served from this address may use it: a request whose Host is not exactly
// "127.0.0.1:<port>", or whose Origin is present and not "http://127.0.0.1:<port>", is refused
// 403. The server's own refusals are JSON: {"ok": false, "error": "..."}.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform::loopback {

struct Limits {
    // The request line and header fields together; more answers 431.
    std::size_t maxHeaderBytes = 32 * 1024;
    // Header fields (and chunked trailer fields); more answers 431.
    std::size_t maxHeaderFields = 100;
    // The body after any chunked coding is removed; more answers 413.
    std::size_t maxBodyBytes = 64 * 1024;
    // Time a client has to send its whole request, and again to take the answer; then the
    // connection is closed. A request waiting for its answer has no limit here.
    std::chrono::milliseconds idleTimeout{10000};
    // Open connections. One more closes the oldest that has not sent a whole request yet (or,
    // failing that, the oldest that lingers after its answer) to make room; failing that, the
    // oldest request that may be answered early (a long poll, Exchange::allowEarlyAnswer) gets
    // that answer at once and leaves the table while it is written (at most
    // maxConnections / 8 + 1 such answers are being written at a time). Only when every
    // connection waits for or takes an answer that cannot come early is the new one closed as
    // soon as it is accepted.
    std::size_t maxConnections = 256;
    // While at least half of maxConnections are open, the time a new connection has to send its
    // first byte; then it is closed. It has the idle timeout from that byte on.
    std::chrono::milliseconds firstByteTimeout{1000};
};

struct Request {
    std::string method;
    std::string path;   // percent-decoded, without the query
    std::string query;  // as sent, after '?'
    std::string body;

    // The percent-decoded value of the query parameter `name` ("" when it has no '='); nullopt
    // when it is absent or not well encoded.
    std::optional<std::string> parameter(std::string_view name) const;
};

struct Response {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
};

// Percent-decodes `text` ('+' stays '+'); nullopt for a malformed escape.
std::optional<std::string> percentDecode(std::string_view text);

// One request and its answer. Any thread may answer, once; later answers are ignored. Destroyed
// unanswered, it answers 503 "shutting down".
class Exchange {
  public:
    struct Link;
    Exchange(Request request, std::shared_ptr<Link> link);
    ~Exchange();
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    const Request& request() const { return request_; }
    void respond(Response response);
    // From the handler, on the I/O thread: a request that waits long for its answer (a long
    // poll) may be answered early to make room for a new connection when the server is full.
    // `answerNow` is called then, on the I/O thread; it must not block. The exchange is closed()
    // from that moment, and a later answer is ignored.
    void allowEarlyAnswer(std::function<Response()> answerNow);
    // True once the client has gone or the server stopped: an answer would reach nobody.
    bool closed() const;

  private:
    Request request_;
    std::shared_ptr<Link> link_;
};

class Server {
  public:
    // Runs on the I/O thread for each request that passed the checks; it must not block. It may
    // answer at once or keep the exchange and answer later from any thread. An exception it
    // throws answers 500.
    using Handler = std::function<void(const std::shared_ptr<Exchange>&)>;

    // Listens on 127.0.0.1:`port` (0: an ephemeral port) and starts serving. Throws
    // std::runtime_error when the port cannot be bound (another listener holds it).
    Server(int port, Limits limits, Handler handler);
    // stop().
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const { return port_; }
    // Closes the listening socket and every connection; requests still waiting for their answer
    // get 503 "shutting down" first. Returns when the I/O thread has ended. Idempotent.
    void stop();
    // Open connections (diagnostics and tests).
    std::size_t connectionCount() const;

    struct Core;

  private:
    std::shared_ptr<Core> core_;
    int port_ = 0;
};

}  // namespace platform::loopback
