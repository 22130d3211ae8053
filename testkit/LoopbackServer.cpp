#include "testkit/LoopbackServer.h"

// Debian builds the server library with OpenSSL, zlib and brotli support; its header declares a
// different layout without the matching CPPHTTPLIB_*_SUPPORT macros, which testkit/CMakeLists.txt
// sets for this file.
#include <httplib.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <utility>

#include "platform/net/Gzip.h"

namespace testkit {

namespace {

constexpr char kLoopbackAddress[] = "127.0.0.1";

// Fields the server library adds to each request for its handlers; the client never sent them.
constexpr const char* kLibraryFields[] = {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"};

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateDeleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Certificate = std::unique_ptr<X509, CertificateDeleter>;
using Bio = std::unique_ptr<BIO, BioDeleter>;

struct Identity {
    Key key;
    Certificate certificate;
    std::string pem;
};

bool addExtension(X509* certificate, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension) return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

std::string pemOf(X509* certificate) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

// A self-signed certificate for the names and the loopback address, valid for a day.
std::optional<Identity> makeIdentity(const std::vector<std::string>& hostNames) {
    Identity identity;
    identity.key.reset(EVP_EC_gen("P-256"));
    identity.certificate.reset(X509_new());
    X509* const certificate = identity.certificate.get();
    if (!identity.key || !certificate) return std::nullopt;

    std::string alternativeNames = std::string("IP:") + kLoopbackAddress;
    for (const auto& name : hostNames)
        alternativeNames += ",DNS:" + name;
    X509_NAME* const subject = X509_get_subject_name(certificate);
    const auto* commonName = reinterpret_cast<const unsigned char*>(hostNames.front().c_str());
    const bool built =
        X509_set_version(certificate, 2) == 1 &&
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1) == 1 &&
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600) &&
        X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600) &&
        X509_set_pubkey(certificate, identity.key.get()) == 1 &&
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, commonName, -1, -1, 0) == 1 &&
        X509_set_issuer_name(certificate, subject) == 1 &&
        addExtension(certificate, NID_basic_constraints, "critical,CA:TRUE") &&
        addExtension(certificate, NID_subject_alt_name, alternativeNames) &&
        X509_sign(certificate, identity.key.get(), EVP_sha256()) > 0;
    if (!built) return std::nullopt;
    identity.pem = pemOf(certificate);
    if (identity.pem.empty()) return std::nullopt;
    return identity;
}

RecordedRequest record(const httplib::Request& request) {
    RecordedRequest recorded;
    recorded.method = request.method;
    const std::size_t question = request.target.find('?');
    recorded.path = request.target.substr(0, question);
    if (question != std::string::npos) recorded.query = request.target.substr(question + 1);
    for (const auto& field : request.headers) {
        const bool fromLibrary = std::any_of(std::begin(kLibraryFields), std::end(kLibraryFields),
                                             [&](const char* name) { return field.first == name; });
        if (!fromLibrary) recorded.headers.push_back(field);
    }
    recorded.body = request.body;
    return recorded;
}

}  // namespace

struct LoopbackServer::State {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    std::atomic<bool> listenReturned{false};
    int port = 0;
    bool tls = false;
    std::string pem;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::map<std::pair<std::string, std::string>, std::deque<ScriptedAnswer>> answers;
    std::vector<RecordedRequest> requests;
    bool stopping = false;

    // The answer for a request: the oldest scripted one, which stays when it is the last.
    std::optional<ScriptedAnswer> nextAnswer(const RecordedRequest& request) {
        const auto found = answers.find({request.method, request.path});
        if (found == answers.end() || found->second.empty()) return std::nullopt;
        auto& queue = found->second;
        ScriptedAnswer answer = queue.front();
        if (queue.size() > 1) queue.pop_front();
        return answer;
    }

    void handle(const httplib::Request& request, httplib::Response& response) {
        RecordedRequest recorded = record(request);
        std::optional<ScriptedAnswer> answer;
        {
            std::unique_lock lock(mutex);
            answer = nextAnswer(recorded);
            requests.push_back(std::move(recorded));
            changed.notify_all();
            if (answer && answer->delaySeconds > 0) {
                changed.wait_for(lock, std::chrono::duration<double>(answer->delaySeconds),
                                 [this] { return stopping; });
            }
        }
        // The library would compress some content types on its own for a client that accepts
        // gzip; scripted answers go out exactly as scripted. The request object is the
        // library's own mutable one, handed over as const.
        const_cast<httplib::Request&>(request).headers.erase("Accept-Encoding");
        if (!answer) {
            response.status = 404;
            return;
        }
        respond(*answer, response);
    }

    static void respond(const ScriptedAnswer& answer, httplib::Response& response) {
        response.status = answer.status;
        for (const auto& [name, value] : answer.headers)
            response.set_header(name, value);
        if (!answer.gzip) {
            response.body = answer.body;
            return;
        }
        const auto compressed = platform::gzipData(std::span(
            reinterpret_cast<const std::uint8_t*>(answer.body.data()), answer.body.size()));
        response.body.assign(compressed->begin(), compressed->end());
        if (!response.has_header("Content-Encoding"))
            response.set_header("Content-Encoding", "gzip");
    }

    bool start(const Options& options) {
        if (options.tlsHostNames.empty()) {
            server = std::make_unique<httplib::Server>();
        } else {
            auto identity = makeIdentity(options.tlsHostNames);
            if (!identity) return false;
            tls = true;
            pem = identity->pem;
            server = std::make_unique<httplib::SSLServer>(identity->certificate.get(),
                                                          identity->key.get());
        }
        if (!server->is_valid()) return false;
        // One request per connection: stop() then never waits on an idle kept-alive connection.
        server->set_keep_alive_max_count(1);
        const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
            handle(request, response);
        };
        server->Get(".*", handler);
        server->Post(".*", handler);
        server->Put(".*", handler);
        server->Patch(".*", handler);
        server->Delete(".*", handler);
        server->Options(".*", handler);
        port = server->bind_to_any_port(kLoopbackAddress);
        if (port <= 0) return false;
        thread = std::thread([this] {
            server->listen_after_bind();
            listenReturned = true;
        });
        // The socket already accepts connections; wait until stop() would reach the accept loop.
        while (!server->is_running() && !listenReturned)
            std::this_thread::yield();
        return server->is_running();
    }

    void stop() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        if (server) server->stop();
        if (thread.joinable()) thread.join();
    }
};

LoopbackServer::LoopbackServer() : LoopbackServer(Options{}) {}

LoopbackServer::LoopbackServer(Options options) : state_(std::make_unique<State>()) {
    if (!state_->start(options)) state_->port = 0;
}

LoopbackServer::~LoopbackServer() {
    stop();
}

bool LoopbackServer::isRunning() const {
    return state_->port > 0 && state_->server && state_->server->is_running();
}

int LoopbackServer::port() const {
    return state_->port;
}

std::string LoopbackServer::baseURL() const {
    return std::string(state_->tls ? "https://" : "http://") + kLoopbackAddress + ":" +
           std::to_string(state_->port);
}

const std::string& LoopbackServer::certificatePEM() const {
    return state_->pem;
}

void LoopbackServer::answer(const std::string& method, const std::string& path,
                            ScriptedAnswer answer) {
    std::lock_guard lock(state_->mutex);
    state_->answers[{method, path}].push_back(std::move(answer));
}

void LoopbackServer::answerFromNowOn(const std::string& method, const std::string& path,
                                     ScriptedAnswer answer) {
    std::lock_guard lock(state_->mutex);
    auto& queue = state_->answers[{method, path}];
    queue.clear();
    queue.push_back(std::move(answer));
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::vector<RecordedRequest> LoopbackServer::takeRequests() {
    std::lock_guard lock(state_->mutex);
    return std::exchange(state_->requests, {});
}

bool LoopbackServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout,
                                    [&] { return state_->requests.size() >= count; });
}

void LoopbackServer::stop() {
    state_->stop();
}

}  // namespace testkit
