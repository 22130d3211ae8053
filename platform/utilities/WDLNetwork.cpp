#include "platform/utilities/WDLNetwork.h"

#include <atomic>
#include <charconv>
#include <mutex>
#include <utility>

#include "platform/foundation/Format.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/Reachability.h"

namespace platform {

// Shared with the completions of requests in flight, so the component may go first.
struct WDLNetwork::State {
    std::string reachabilityHost;
    mutable std::mutex mutex;
    std::weak_ptr<WDLNetworkLoggerDelegate> loggerDelegate;
    std::weak_ptr<WDLNetworkReachabilityDelegate> reachabilityDelegate;
    bool debugModeEnabled = false;
    double timeoutInterval = kDefaultTimeoutInterval;
    std::atomic<int> requestsInFlight{0};
    NotificationObserver reachabilityObserver;

    void log(int level, std::int64_t code, std::string_view message, std::vector<Object> contexts) {
        std::shared_ptr<WDLNetworkLoggerDelegate> delegate;
        {
            std::lock_guard lock(mutex);
            delegate = loggerDelegate.lock();
        }
        if (delegate) delegate->WDLNetwork_logWithLevel(level, code, message, contexts);
    }
};

namespace {

std::atomic<std::uint64_t> nextSessionNumber{1};

std::int64_t announcedLength(const HttpHeaders& headers) {
    const std::string* text = findHeader(headers, "Content-Length");
    std::int64_t length = -1;
    if (!text) return length;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), length);
    return ec == std::errc() && end == text->data() + text->size() && length >= 0 ? length : -1;
}

}  // namespace

WDLNetwork::WDLNetwork() : WDLNetwork(std::string()) {}

WDLNetwork::WDLNetwork(std::string reachabilityHost) : state_(std::make_shared<State>()) {
    state_->reachabilityHost = std::move(reachabilityHost);
    state_->reachabilityObserver = NotificationCenter::defaultCenter().addObserverForName(
        kReachabilityChangedNotification, nullptr,
        [weak = std::weak_ptr<State>(state_)](const Notification&) {
            const auto state = weak.lock();
            if (!state) return;
            std::shared_ptr<WDLNetworkReachabilityDelegate> delegate;
            {
                std::lock_guard lock(state->mutex);
                delegate = state->reachabilityDelegate.lock();
            }
            if (delegate) delegate->reachabilityDidChange();
        });
}

WDLNetwork::~WDLNetwork() {
    state_->reachabilityObserver.reset();
}

void WDLNetwork::setLoggerDelegate(std::weak_ptr<WDLNetworkLoggerDelegate> delegate) {
    std::lock_guard lock(state_->mutex);
    state_->loggerDelegate = std::move(delegate);
}

void WDLNetwork::setReachabilityDelegate(std::weak_ptr<WDLNetworkReachabilityDelegate> delegate) {
    std::lock_guard lock(state_->mutex);
    state_->reachabilityDelegate = std::move(delegate);
}

bool WDLNetwork::isDebugModeEnabled() const {
    std::lock_guard lock(state_->mutex);
    return state_->debugModeEnabled;
}

void WDLNetwork::setIsDebugModeEnabled(bool enabled) {
    std::lock_guard lock(state_->mutex);
    state_->debugModeEnabled = enabled;
}

double WDLNetwork::timeoutInterval() const {
    std::lock_guard lock(state_->mutex);
    return state_->timeoutInterval;
}

void WDLNetwork::setTimeoutInterval(double seconds) {
    std::lock_guard lock(state_->mutex);
    state_->timeoutInterval = seconds;
}

bool WDLNetwork::isNetworkConnected() const {
    return Reachability::shared().isReachable();
}

bool WDLNetwork::hasUploadInProgress() const {
    return state_->requestsInFlight.load() > 0;
}

const std::string& WDLNetwork::reachabilityHost() const {
    return state_->reachabilityHost;
}

std::string WDLNetwork::postURL(const std::string& url, const HttpHeaders& headers, Data payload,
                                std::shared_ptr<DispatchQueue> queue,
                                bool /*usingBackgroundSession*/,
                                WDLNetworkCompletionHandler completionHandler) {
    return send(HttpMethod::Post, url, headers, std::move(payload), std::move(queue),
                std::move(completionHandler));
}

std::string WDLNetwork::postURL(const std::string& url, Data payload,
                                std::shared_ptr<DispatchQueue> queue, bool usingBackgroundSession,
                                WDLNetworkCompletionHandler completionHandler) {
    return postURL(url, {}, std::move(payload), std::move(queue), usingBackgroundSession,
                   std::move(completionHandler));
}

std::string WDLNetwork::getURL(const std::string& url, const HttpHeaders& headers,
                               std::shared_ptr<DispatchQueue> queue,
                               bool /*usingBackgroundSession*/,
                               WDLNetworkCompletionHandler completionHandler) {
    return send(HttpMethod::Get, url, headers, {}, std::move(queue), std::move(completionHandler));
}

std::string WDLNetwork::getURL(const std::string& url, const HttpHeaders& headers,
                               std::size_t maximumResponseSize,
                               std::shared_ptr<DispatchQueue> queue,
                               bool /*usingBackgroundSession*/,
                               WDLNetworkCompletionHandler completionHandler) {
    return send(HttpMethod::Get, url, headers, {}, std::move(queue), std::move(completionHandler),
                maximumResponseSize);
}

std::string WDLNetwork::send(HttpMethod method, const std::string& url, const HttpHeaders& headers,
                             Data payload, std::shared_ptr<DispatchQueue> queue,
                             WDLNetworkCompletionHandler completionHandler,
                             std::size_t maximumResponseSize) {
    const std::string sessionID =
        url.empty() ? std::string()
                    : formatString("wdl-network-session-%llu", nextSessionNumber.fetch_add(1));
    HttpRequest request;
    request.method = method;
    request.url = url;
    request.headers = headers;
    request.body = std::move(payload);
    request.timeoutInterval = timeoutInterval();
    request.maximumResponseSize = maximumResponseSize;
    state_->log(kWDLLoggerLevelDebug, kWDLNetworkMessageCodeRequestStarted,
                "Sending request. Session ID, URL", {sessionID, url});
    state_->requestsInFlight.fetch_add(1);
    DispatchQueue& target = *queue;
    HttpClient::shared().send(
        std::move(request), target,
        [state = state_, queue = std::move(queue), sessionID,
         completion = std::move(completionHandler)](HttpResult result) mutable {
            state->requestsInFlight.fetch_sub(1);
            if (result.error) {
                state->log(kWDLLoggerLevelWarning, kWDLNetworkMessageCodeRequestFailed,
                           "Request failed. Session ID, error",
                           {sessionID, result.error->description});
                if (completion) completion(std::nullopt, {}, std::move(result.error));
                return;
            }
            auto& answer = *result.response;
            state->log(kWDLLoggerLevelDebug, kWDLNetworkMessageCodeRequestFinished,
                       "Request finished. Session ID, status code", {sessionID, answer.statusCode});
            WDLNetworkResponse response{answer.statusCode, answer.headers,
                                        announcedLength(answer.headers)};
            if (completion) completion(std::move(response), std::move(answer.body), std::nullopt);
        });
    return sessionID;
}

void WDLNetwork::handleEventsForBackgroundURLSessionID(
    const std::string& /*sessionID*/, const std::function<void()>& completionHandler) {
    if (completionHandler) completionHandler();
}

}  // namespace platform
