#include "platform/net/HttpClient.h"

#include "platform/net/BoundedGrowth.h"
#include "platform/security/OpenSSLInit.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/foundation/SharedInstance.h"
#include "platform/net/Reachability.h"

namespace platform {

namespace {

// The worker never blocks longer than this in one poll, whatever curl's own timers say.
constexpr int kMaxPollMilliseconds = 1000;
// Longest time-out honoured; keeps the conversion to curl's milliseconds in range.
constexpr double kMaxTimeoutInterval = 7 * 24 * 3600;
// Header fields of one answer beyond this size end the transfer, as an oversized body does.
constexpr std::size_t kMaxHeaderBytes = 1u << 20;

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using StringList = std::unique_ptr<curl_slist, ListDeleter>;

// How curl's failures read to callers, as the phone's URL loading codes.
constexpr struct {
    CURLcode curl;
    URLErrorCode code;
} kCurlErrors[] = {
    {CURLE_UNSUPPORTED_PROTOCOL, kURLErrorUnsupportedURL},
    {CURLE_URL_MALFORMAT, kURLErrorBadURL},
    {CURLE_COULDNT_RESOLVE_PROXY, kURLErrorCannotFindHost},
    {CURLE_COULDNT_RESOLVE_HOST, kURLErrorCannotFindHost},
    {CURLE_COULDNT_CONNECT, kURLErrorCannotConnectToHost},
    {CURLE_WEIRD_SERVER_REPLY, kURLErrorBadServerResponse},
    {CURLE_PARTIAL_FILE, kURLErrorNetworkConnectionLost},
    {CURLE_OPERATION_TIMEDOUT, kURLErrorTimedOut},
    {CURLE_SSL_CONNECT_ERROR, kURLErrorSecureConnectionFailed},
    {CURLE_GOT_NOTHING, kURLErrorNetworkConnectionLost},
    {CURLE_SEND_ERROR, kURLErrorNetworkConnectionLost},
    {CURLE_RECV_ERROR, kURLErrorNetworkConnectionLost},
    {CURLE_PEER_FAILED_VERIFICATION, kURLErrorServerCertificateUntrusted},
    {CURLE_SSL_CACERT_BADFILE, kURLErrorSecureConnectionFailed},
    {CURLE_SSL_CERTPROBLEM, kURLErrorSecureConnectionFailed},
    {CURLE_FILESIZE_EXCEEDED, kURLErrorDataLengthExceedsMaximum},
};

URLErrorCode urlErrorFor(CURLcode code) {
    for (const auto& entry : kCurlErrors) {
        if (entry.curl == code) return entry.code;
    }
    return kURLErrorUnknown;
}

Error urlError(URLErrorCode code, std::string description) {
    return Error{kURLErrorDomain, code, std::move(description), {}};
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

std::string_view trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool validHeaderName(std::string_view name) {
    return !name.empty() && name.find_first_of(":\r\n \t", 0) == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

bool validHeaderValue(std::string_view value) {
    return value.find_first_of("\r\n") == std::string_view::npos &&
           value.find('\0') == std::string_view::npos;
}

// Appends one line to a curl list; false when curl could not allocate.
bool append(StringList& list, const std::string& line) {
    curl_slist* const head = curl_slist_append(list.get(), line.c_str());
    if (!head) return false;
    (void)list.release();
    list.reset(head);
    return true;
}

long timeoutMilliseconds(double seconds) {
    if (!(seconds > 0) || !std::isfinite(seconds)) seconds = kDefaultTimeoutInterval;
    return static_cast<long>(std::ceil(std::min(seconds, kMaxTimeoutInterval) * 1000));
}

void initializeCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        // libcrypto first, so that curl's TLS set-up does not install libcrypto's exit-time
        // clean-up under queues that outlive main().
        ensureOpenSSLInitialised();
        curl_global_init(CURL_GLOBAL_DEFAULT);
    });
}

// What a request is sent with besides the request itself, fixed when it is started.
struct Settings {
    std::map<std::string, std::string> connectTo;  // host -> curl rule
    std::string trustedCertificates;
    std::size_t maximumResponseSize = kDefaultMaximumResponseSize;
};

// One request from start to completion. Owned by the worker while curl runs it.
struct Transfer {
    std::uint64_t id = 0;
    HttpRequest request;
    DispatchQueue* queue = nullptr;
    HttpCompletion completion;
    EasyHandle easy;
    StringList headers;
    StringList connectTo;
    HttpResponse response;
    std::size_t maximumResponseSize = kDefaultMaximumResponseSize;
    std::size_t headerBytes = 0;
    bool tooLarge = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};
};

Error cancelledError() {
    return urlError(kURLErrorCancelled, "cancelled");
}

void deliver(DispatchQueue& queue, HttpCompletion completion, HttpResult result) {
    queue.async([completion = std::move(completion), result = std::move(result)]() mutable {
        completion(std::move(result));
    });
}

void deliverError(Transfer& transfer, Error error) {
    HttpResult result;
    result.error = std::move(error);
    deliver(*transfer.queue, std::move(transfer.completion), std::move(result));
}

// curl callbacks: they must not throw into C code, so allocation failures end the transfer.
size_t onBody(char* data, size_t size, size_t count, void* context) noexcept {
    auto& transfer = *static_cast<Transfer*>(context);
    const size_t length = size * count;
    Data& body = transfer.response.body;
    if (length >
        transfer.maximumResponseSize - std::min(body.size(), transfer.maximumResponseSize)) {
        transfer.tooLarge = true;
        return 0;
    }
    try {
        reserveWithin(body, body.size() + length, transfer.maximumResponseSize);
        body.insert(body.end(), data, data + length);
    } catch (...) {
        return 0;
    }
    return length;
}

size_t onHeader(char* data, size_t size, size_t count, void* context) noexcept {
    auto& transfer = *static_cast<Transfer*>(context);
    const size_t length = size * count;
    transfer.headerBytes += length;
    if (transfer.headerBytes > kMaxHeaderBytes) {
        transfer.tooLarge = true;
        return 0;
    }
    const std::string_view line = trim(std::string_view(data, length));
    // A status line starts a new answer (after "100 Continue"): only the last one's fields count.
    if (line.starts_with("HTTP/")) {
        transfer.response.headers.clear();
        return length;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return length;
    try {
        transfer.response.headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                               std::string(trim(line.substr(colon + 1))));
    } catch (...) {
        return 0;
    }
    return length;
}

// The header and connect-to lists of a transfer; an error for a field that cannot be sent.
std::optional<Error> buildLists(Transfer& transfer, const Settings& settings) {
    const HttpRequest& request = transfer.request;
    const Error outOfMemory = urlError(kURLErrorUnknown, "Out of memory");
    for (const auto& [name, value] : request.headers) {
        if (!validHeaderName(name) || !validHeaderValue(value)) {
            return urlError(kURLErrorBadURL, "Invalid header field \"" + name + "\"");
        }
        // "Name;" is curl's way to send a field with an empty value.
        if (!append(transfer.headers, value.empty() ? name + ";" : name + ": " + value)) {
            return outOfMemory;
        }
    }
    // curl would add these on its own; the caller's fields are all that is sent.
    if (!findHeader(request.headers, "Expect") && !append(transfer.headers, "Expect:")) {
        return outOfMemory;
    }
    if (request.method == HttpMethod::Post && !findHeader(request.headers, "Content-Type") &&
        !append(transfer.headers, "Content-Type:")) {
        return outOfMemory;
    }
    for (const auto& [host, rule] : settings.connectTo) {
        if (!append(transfer.connectTo, rule)) return outOfMemory;
    }
    return std::nullopt;
}

void setMethodAndBody(CURL* easy, const HttpRequest& request) {
    if (request.method == HttpMethod::Get) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        return;
    }
    // Never null: with a null body curl would read one from standard input.
    static const char kNoBody[] = "";
    const char* const body =
        request.body.empty() ? kNoBody : reinterpret_cast<const char*>(request.body.data());
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body);
}

void setTestOverrides(CURL* easy, const Transfer& transfer, const Settings& settings) {
    if (transfer.connectTo) {
        curl_easy_setopt(easy, CURLOPT_CONNECT_TO, transfer.connectTo.get());
        // A redirected host is a test set-up: a proxy from the environment must not intervene.
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
    }
    if (!settings.trustedCertificates.empty()) {
        curl_blob blob{const_cast<char*>(settings.trustedCertificates.data()),
                       settings.trustedCertificates.size(), CURL_BLOB_COPY};
        curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
        curl_easy_setopt(easy, CURLOPT_CAPATH, static_cast<char*>(nullptr));
    }
}

// Sets up the easy handle of a transfer; an error when the request cannot be sent as asked.
std::optional<Error> prepare(Transfer& transfer, const Settings& settings) {
    const HttpRequest& request = transfer.request;
    if (request.method == HttpMethod::Get && !request.body.empty()) {
        return urlError(kURLErrorBadURL, "A GET request cannot carry a body");
    }
    if (auto error = buildLists(transfer, settings)) return error;
    transfer.easy.reset(curl_easy_init());
    CURL* const easy = transfer.easy.get();
    if (!easy) return urlError(kURLErrorUnknown, "Could not create a transfer");
    transfer.maximumResponseSize =
        request.maximumResponseSize > 0
            ? std::min(settings.maximumResponseSize, request.maximumResponseSize)
            : settings.maximumResponseSize;
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMilliseconds(request.timeoutInterval));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers.get());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    setMethodAndBody(easy, request);
    setTestOverrides(easy, transfer, settings);
    return std::nullopt;
}

HttpResult resultOf(Transfer& transfer, CURLcode code) {
    HttpResult result;
    if (code == CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(transfer.easy.get(), CURLINFO_RESPONSE_CODE, &status);
        transfer.response.statusCode = static_cast<int>(status);
        result.response = std::move(transfer.response);
        return result;
    }
    if (transfer.tooLarge) {
        result.error = urlError(kURLErrorDataLengthExceedsMaximum,
                                "Response exceeds " + std::to_string(transfer.maximumResponseSize) +
                                    " bytes of body or " + std::to_string(kMaxHeaderBytes) +
                                    " bytes of header fields");
        return result;
    }
    std::string description = curl_easy_strerror(code);
    if (transfer.errorBuffer[0] != '\0') description += std::string(": ") + transfer.errorBuffer;
    result.error = urlError(urlErrorFor(code), std::move(description));
    return result;
}

}  // namespace

const std::string* findHeader(const HttpHeaders& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) return &value;
    }
    return nullptr;
}

// The worker thread and the state shared with callers. Callers touch only `pending_` and the
// settings, under `mutex_`; everything curl owns lives on the worker thread.
class HttpClient::Worker {
  public:
    Worker() {
        initializeCurlOnce();
        multi_.reset(curl_multi_init());
        if (!multi_) {
            stopping_ = true;
            return;
        }
        thread_ = std::thread([this] { run(); });
    }

    ~Worker() { shutdown(); }

    std::uint64_t send(HttpRequest request, DispatchQueue& queue, HttpCompletion completion) {
        auto transfer = std::make_unique<Transfer>();
        transfer->id = nextID_.fetch_add(1) + 1;
        transfer->request = std::move(request);
        transfer->queue = &queue;
        transfer->completion = std::move(completion);
        const std::uint64_t id = transfer->id;

        if (!Reachability::shared().isReachable()) {
            deliverError(*transfer, urlError(kURLErrorNotConnectedToInternet,
                                             "The Internet connection appears to be offline."));
            return id;
        }
        Settings settings;
        {
            std::lock_guard lock(mutex_);
            settings = settings_;
        }
        if (auto error = prepare(*transfer, settings)) {
            deliverError(*transfer, std::move(*error));
            return id;
        }
        std::unique_lock lock(mutex_);
        if (stopping_) {
            lock.unlock();
            deliverError(*transfer, cancelledError());
            return id;
        }
        pending_.push_back(std::move(transfer));
        lock.unlock();
        curl_multi_wakeup(multi_.get());
        return id;
    }

    bool setConnectTo(const std::string& host, const std::string& address, int port) {
        const auto usable = [](const std::string& name) {
            return !name.empty() && name.find_first_of(": \t\r\n") == std::string::npos;
        };
        if (!usable(host) || !usable(address) || port <= 0 || port > 65535) return false;
        std::lock_guard lock(mutex_);
        settings_.connectTo[host] = host + "::" + address + ":" + std::to_string(port);
        return true;
    }

    void setTrustedCertificates(std::string pem) {
        std::lock_guard lock(mutex_);
        settings_.trustedCertificates = std::move(pem);
    }

    void setMaximumResponseSize(std::size_t bytes) {
        std::lock_guard lock(mutex_);
        settings_.maximumResponseSize = bytes;
    }

    void shutdown() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        std::lock_guard join(joinMutex_);
        if (!thread_.joinable()) return;
        curl_multi_wakeup(multi_.get());
        thread_.join();
    }

  private:
    void run() {
        while (adoptPending()) {
            int running = 0;
            curl_multi_perform(multi_.get(), &running);
            finishCompleted();
            curl_multi_poll(multi_.get(), nullptr, 0, kMaxPollMilliseconds, nullptr);
        }
        cancelAll();
    }

    // Moves newly sent requests into curl; false once shutdown has begun.
    bool adoptPending() {
        std::vector<std::unique_ptr<Transfer>> incoming;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return false;
            incoming.swap(pending_);
        }
        for (auto& transfer : incoming) {
            CURL* const easy = transfer->easy.get();
            if (curl_multi_add_handle(multi_.get(), easy) != CURLM_OK) {
                deliverError(*transfer, urlError(kURLErrorUnknown, "Could not start the request"));
                continue;
            }
            running_.emplace(easy, std::move(transfer));
        }
        return true;
    }

    void finishCompleted() {
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            CURL* const easy = message->easy_handle;
            const CURLcode code = message->data.result;
            auto found = running_.find(easy);
            if (found == running_.end()) continue;
            std::unique_ptr<Transfer> transfer = std::move(found->second);
            running_.erase(found);
            curl_multi_remove_handle(multi_.get(), easy);
            HttpResult result = resultOf(*transfer, code);
            deliver(*transfer->queue, std::move(transfer->completion), std::move(result));
        }
    }

    void cancelAll() {
        for (auto& [easy, transfer] : running_) {
            curl_multi_remove_handle(multi_.get(), easy);
            deliverError(*transfer, cancelledError());
        }
        running_.clear();
        std::vector<std::unique_ptr<Transfer>> left;
        {
            std::lock_guard lock(mutex_);
            left.swap(pending_);
        }
        for (auto& transfer : left) {
            deliverError(*transfer, cancelledError());
        }
    }

    std::mutex mutex_;
    bool stopping_ = false;
    Settings settings_;
    std::vector<std::unique_ptr<Transfer>> pending_;
    std::atomic<std::uint64_t> nextID_{0};

    // Worker thread only.
    std::unordered_map<CURL*, std::unique_ptr<Transfer>> running_;

    MultiHandle multi_;
    std::mutex joinMutex_;
    std::thread thread_;
};

HttpClient::HttpClient() : worker_(std::make_unique<Worker>()) {}

HttpClient::~HttpClient() = default;

HttpClient& HttpClient::shared() {
    return SharedInstance<HttpClient>::get();
}

std::uint64_t HttpClient::send(HttpRequest request, DispatchQueue& queue,
                               HttpCompletion completion) {
    return worker_->send(std::move(request), queue, std::move(completion));
}

bool HttpClient::setConnectTo(const std::string& host, const std::string& address, int port) {
    return worker_->setConnectTo(host, address, port);
}

void HttpClient::setTrustedCertificates(std::string pem) {
    worker_->setTrustedCertificates(std::move(pem));
}

void HttpClient::setMaximumResponseSize(std::size_t bytes) {
    worker_->setMaximumResponseSize(bytes);
}

void HttpClient::shutdown() {
    worker_->shutdown();
}

}  // namespace platform
