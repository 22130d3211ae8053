#pragma once

// The process's HTTP client, on libcurl. Requests run on one worker thread of the client (curl's
// multi interface); each request gets exactly one completion, posted to the queue the caller
// names: a response for every HTTP answer (200 as well as 404 or 503), or an error for a
// transport failure, a time-out, a refusal before sending, or a cancellation at shutdown.
//
// HTTPS verifies peers against the system's CA store. For tests, a host name can be pointed at a
// loopback address and port without changing the URL the code builds, and the certificate of a
// loopback server can be trusted in place of the system store.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace platform {

// Header fields in the order they are sent or were received; names compare case-insensitively.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// The value of the first field named `name` (any case), or null.
const std::string* findHeader(const HttpHeaders& headers, std::string_view name);

enum class HttpMethod { Get, Post };

inline constexpr double kDefaultTimeoutInterval = 60;
inline constexpr std::size_t kDefaultMaximumResponseSize = 32u * 1024u * 1024u;

struct HttpRequest {
    HttpMethod method = HttpMethod::Get;
    std::string url;
    // Sent as given. The client adds Host, "Accept: */*" (unless given) and, for POST,
    // Content-Length; no Content-Type, Expect or encoding of its own.
    HttpHeaders headers;
    // Sent with POST; a GET with a body is refused.
    Data body;
    // Seconds for the whole exchange, connecting included. Not positive or not finite means
    // kDefaultTimeoutInterval.
    double timeoutInterval = kDefaultTimeoutInterval;
    // A cap on this request's answer body below the client's own (0: the client's alone); a
    // larger answer fails with kURLErrorDataLengthExceedsMaximum.
    std::size_t maximumResponseSize = 0;
};

struct HttpResponse {
    int statusCode = 0;
    HttpHeaders headers;
    // The body as received; a Content-Encoding is not undone.
    Data body;

    const std::string* header(std::string_view name) const { return findHeader(headers, name); }
};

// Exactly one of the two is set.
struct HttpResult {
    std::optional<HttpResponse> response;
    std::optional<Error> error;
};

using HttpCompletion = std::function<void(HttpResult result)>;

// The domain and codes of the phone's URL loading errors, which callers already know.
inline constexpr char kURLErrorDomain[] = "NSURLErrorDomain";

enum URLErrorCode : std::int64_t {
    kURLErrorUnknown = -1,
    kURLErrorCancelled = -999,
    kURLErrorBadURL = -1000,
    kURLErrorTimedOut = -1001,
    kURLErrorUnsupportedURL = -1002,
    kURLErrorCannotFindHost = -1003,
    kURLErrorCannotConnectToHost = -1004,
    kURLErrorNetworkConnectionLost = -1005,
    kURLErrorNotConnectedToInternet = -1009,
    kURLErrorBadServerResponse = -1011,
    kURLErrorDataLengthExceedsMaximum = -1103,
    kURLErrorSecureConnectionFailed = -1200,
    kURLErrorServerCertificateUntrusted = -1202,
};

class HttpClient {
  public:
    HttpClient();
    // shutdown().
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // The client the process shares; a test reset shuts it down and the next call makes a new one.
    static HttpClient& shared();

    // Starts a request; returns at once with an id for logs. `completion` runs once on `queue`,
    // which must outlive the request (it is not called inline, not even for an early refusal).
    // While Reachability reports no network, requests fail with kURLErrorNotConnectedToInternet.
    std::uint64_t send(HttpRequest request, DispatchQueue& queue, HttpCompletion completion);

    // Connections to `host` (any port) go to `address`:`port` instead; the URL, the Host header
    // and TLS name checks keep `host`. Replaces an earlier rule for the host. False for a name or
    // address that curl's rule syntax cannot carry (empty, or holding ':' or whitespace).
    bool setConnectTo(const std::string& host, const std::string& address, int port);
    // Trusts exactly these PEM certificates instead of the system store (tests with a TLS
    // loopback server); an empty text returns to the system store.
    void setTrustedCertificates(std::string pem);
    // Answers with a larger body fail with kURLErrorDataLengthExceedsMaximum.
    void setMaximumResponseSize(std::size_t bytes);

    // Cancels every request in flight, each completing with kURLErrorCancelled, and stops the
    // worker. Later requests complete with kURLErrorCancelled at once. Safe to call twice.
    void shutdown();

  private:
    class Worker;
    std::unique_ptr<Worker> worker_;
};

}  // namespace platform
