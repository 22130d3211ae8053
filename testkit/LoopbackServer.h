#pragma once

// A real HTTP server on 127.0.0.1 that plays the measurement host in tests. It listens on an
// ephemeral port from construction to stop(); answers are scripted per method and path; every
// request is recorded as it arrives, before any scripted delay, so a test can wait for it.
//
// With TLS host names it serves HTTPS under a self-signed certificate made for those names (and
// for 127.0.0.1); a test trusts certificatePEM() in the client and points the names at port().

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/net/HttpClient.h"

namespace testkit {

struct ScriptedAnswer {
    int status = 200;
    platform::HttpHeaders headers;
    std::string body;
    // Real time to wait before answering, for client time-outs; cut short by stop().
    double delaySeconds = 0;
    // Sends the body gzip-compressed with "Content-Encoding: gzip".
    bool gzip = false;
};

struct RecordedRequest {
    std::string method;
    // The request target as sent, split at the first '?'; nothing is percent-decoded.
    std::string path;
    std::string query;
    // As received, in the server library's order (by name, ignoring case). The library drops
    // a field whose value is empty.
    platform::HttpHeaders headers;
    // As received. The server library inflates a body sent with "Content-Encoding: gzip".
    std::string body;

    const std::string* header(std::string_view name) const {
        return platform::findHeader(headers, name);
    }
};

class LoopbackServer {
  public:
    struct Options {
        // Non-empty: serve HTTPS with a certificate for these names ("*.example.test" allowed).
        std::vector<std::string> tlsHostNames;
    };

    LoopbackServer();
    explicit LoopbackServer(Options options);
    // stop().
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // False when the server could not start (no port, or no certificate).
    bool isRunning() const;
    int port() const;
    // "http://127.0.0.1:<port>", or https with TLS.
    std::string baseURL() const;
    // The PEM certificate of a TLS server; empty for plain HTTP.
    const std::string& certificatePEM() const;

    // Adds an answer for requests with this method ("GET", "POST", ...) and path (as sent, without
    // the query). Answers of one method and path are used in the order added, the last one for
    // every later request. Unscripted requests get 404 with an empty body.
    void answer(const std::string& method, const std::string& path, ScriptedAnswer answer);
    // Drops the answers still scripted for this method and path: every later request gets this
    // one (a server whose content changed).
    void answerFromNowOn(const std::string& method, const std::string& path, ScriptedAnswer answer);

    // Every request so far, oldest first.
    std::vector<RecordedRequest> requests() const;
    // Every request so far, oldest first, and forgets them: a long run that reads as it goes
    // keeps the record from growing. waitForRequests() then counts from empty again.
    std::vector<RecordedRequest> takeRequests();
    // Waits until at least `count` requests have arrived; false when `timeout` passed first.
    bool waitForRequests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // Stops listening, cuts scripted delays short and waits for the handlers to finish.
    void stop();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace testkit
