#pragma once

// The utilities framework's network component: HTTP GET and POST on the platform's HTTP client,
// with completions delivered on the caller's queue, a count of requests in flight, the network's
// reachability and a delegate that receives the component's log lines. Every call of postURL()
// and getURL() completes exactly once, also when it answers an empty session identifier.
//
// There are no background URL sessions on this platform: a request asked to use one runs as an
// ordinary request, and handleEventsForBackgroundURLSessionID() has nothing to deliver.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/net/HttpClient.h"
#include "platform/utilities/WDLLogger.h"

namespace platform {

// Status codes the callers compare with.
inline constexpr int kWDLNetworkHTTPStatusOK = 200;
inline constexpr int kWDLNetworkHTTPStatusNoContent = 204;
inline constexpr int kWDLNetworkHTTPStatusNotModified = 304;
inline constexpr int kWDLNetworkHTTPStatusNotFound = 404;
// The host accepts no traffic from this client for now.
inline constexpr int kWDLNetworkHTTPStatusCodeCannotAcceptTraffic = 429;
// The service is unavailable.
inline constexpr int kWDLNetworkHTTPStatusCodeUnavailable = 503;

// Codes of the component's log lines.
enum WDLNetworkMessageCode : std::int64_t {
    kWDLNetworkMessageCodeRequestStarted = 900001,   // debug: session ID, URL
    kWDLNetworkMessageCodeRequestFailed = 900002,    // warning: session ID, error
    kWDLNetworkMessageCodeRequestFinished = 900003,  // debug: session ID, status code
};

// Receives the component's log lines, with a level of the system log's scale (WDLLoggerLevel).
class WDLNetworkLoggerDelegate {
  public:
    virtual ~WDLNetworkLoggerDelegate() = default;
    virtual void WDLNetwork_logWithLevel(int level, std::int64_t messageCode,
                                         std::string_view message,
                                         const std::vector<Object>& contexts) = 0;
};

// Told, on the thread that noticed, each time the network's reachability changes.
class WDLNetworkReachabilityDelegate {
  public:
    virtual ~WDLNetworkReachabilityDelegate() = default;
    virtual void reachabilityDidChange() = 0;
};

// An HTTP answer without its body (which the completion receives beside it).
struct WDLNetworkResponse {
    int statusCode = 0;
    HttpHeaders headers;
    // The Content-Length the server announced, -1 when it announced none.
    std::int64_t expectedContentLength = -1;

    const std::string* header(std::string_view name) const { return findHeader(headers, name); }
};

// The answer (nullopt when none came), the body, and the transport error (nullopt on an answer).
using WDLNetworkCompletionHandler = std::function<void(std::optional<WDLNetworkResponse> response,
                                                       Data data, std::optional<Error> error)>;

class WDLNetwork {
  public:
    WDLNetwork();
    // `reachabilityHost` names the host whose reachability matters; this platform reports the
    // network as a whole.
    explicit WDLNetwork(std::string reachabilityHost);
    // Requests in flight still complete.
    ~WDLNetwork();
    WDLNetwork(const WDLNetwork&) = delete;
    WDLNetwork& operator=(const WDLNetwork&) = delete;

    void setLoggerDelegate(std::weak_ptr<WDLNetworkLoggerDelegate> delegate);
    void setReachabilityDelegate(std::weak_ptr<WDLNetworkReachabilityDelegate> delegate);
    bool isDebugModeEnabled() const;
    void setIsDebugModeEnabled(bool enabled);
    // Seconds for each later request, connecting included (60 until set).
    double timeoutInterval() const;
    void setTimeoutInterval(double seconds);

    bool isNetworkConnected() const;
    // A request of this component is in flight.
    bool hasUploadInProgress() const;
    const std::string& reachabilityHost() const;

    // Sends the request; `completionHandler` runs once on `queue`. Returns the request's session
    // identifier, empty when no request could be made (an empty URL), in which case the
    // completion still comes, with an error.
    std::string postURL(const std::string& url, const HttpHeaders& headers, Data payload,
                        std::shared_ptr<DispatchQueue> queue, bool usingBackgroundSession,
                        WDLNetworkCompletionHandler completionHandler);
    std::string postURL(const std::string& url, Data payload, std::shared_ptr<DispatchQueue> queue,
                        bool usingBackgroundSession, WDLNetworkCompletionHandler completionHandler);
    std::string getURL(const std::string& url, const HttpHeaders& headers,
                       std::shared_ptr<DispatchQueue> queue, bool usingBackgroundSession,
                       WDLNetworkCompletionHandler completionHandler);
    // The same with an answer body capped at `maximumResponseSize` bytes (0: the client's own
    // cap); a larger answer completes with kURLErrorDataLengthExceedsMaximum.
    std::string getURL(const std::string& url, const HttpHeaders& headers,
                       std::size_t maximumResponseSize, std::shared_ptr<DispatchQueue> queue,
                       bool usingBackgroundSession, WDLNetworkCompletionHandler completionHandler);

    // Hands over the events of a background URL session; with none on this platform the
    // completion handler is called at once.
    static void handleEventsForBackgroundURLSessionID(
        const std::string& sessionID, const std::function<void()>& completionHandler);

  private:
    struct State;
    std::string send(HttpMethod method, const std::string& url, const HttpHeaders& headers,
                     Data payload, std::shared_ptr<DispatchQueue> queue,
                     WDLNetworkCompletionHandler completionHandler,
                     std::size_t maximumResponseSize = 0);

    std::shared_ptr<State> state_;
};

}  // namespace platform
