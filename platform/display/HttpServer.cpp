#include "platform/display/HttpServer.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <thread>

#include "platform/foundation/Log.h"

namespace platform::loopback {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// How long a stop waits for answers already being written, and for the 503 of waiting requests.
constexpr std::chrono::milliseconds kStopGrace{1000};
// After a failed accept (out of descriptors, as a rule), the pause before the next one.
constexpr std::chrono::milliseconds kAcceptPause{50};
// How long an answer given early to make room may take to be written before its connection is
// closed: the client asked for it and reads it at once, or has gone.
constexpr std::chrono::milliseconds kEarlyAnswerWrite{1000};

Response refusal(int status, const std::string& error) {
    return {status, "application/json", nlohmann::json{{"ok", false}, {"error", error}}.dump()};
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void closeOnExec(int descriptor) {
    int flags = ::fcntl(descriptor, F_GETFD);
    if (flags >= 0) ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
}

std::string text(beast::string_view view) {
    return std::string(view.data(), view.size());
}

// Keeps the request line, the two header fields the server checks and the body; every other
// field is counted and dropped, so a connection holds no more than the limits allow.
class RequestParser : public http::basic_parser<true> {
  public:
    explicit RequestParser(const Limits& limits) : maxFields_(limits.maxHeaderFields) {
        header_limit(static_cast<std::uint32_t>(std::min<std::size_t>(
            limits.maxHeaderBytes, std::numeric_limits<std::uint32_t>::max())));
        body_limit(static_cast<std::uint64_t>(limits.maxBodyBytes));
    }

    std::string method;
    std::string target;
    int hostCount = 0;
    std::string host;
    int originCount = 0;
    std::string origin;
    bool expectsContinue = false;
    bool tooManyFields = false;
    std::string body;

  private:
    void on_request_impl(http::verb, beast::string_view methodText, beast::string_view targetText,
                         int, beast::error_code&) override {
        method = text(methodText);
        target = text(targetText);
    }
    void on_response_impl(int, beast::string_view, int, beast::error_code&) override {}
    void on_field_impl(http::field name, beast::string_view, beast::string_view value,
                       beast::error_code& ec) override {
        if (++fields_ > maxFields_) {
            tooManyFields = true;
            ec = http::error::header_limit;
            return;
        }
        if (headerDone_) return;  // trailer fields say nothing the server checks
        if (name == http::field::host) {
            if (hostCount++ == 0) host = text(value);
        } else if (name == http::field::origin) {
            if (originCount++ == 0) origin = text(value);
        } else if (name == http::field::expect) {
            expectsContinue = beast::iequals(value, "100-continue");
        }
    }
    void on_header_impl(beast::error_code&) override { headerDone_ = true; }
    void on_body_init_impl(const boost::optional<std::uint64_t>& length,
                           beast::error_code&) override {
        // Within the body limit: the parser refuses a larger length before this.
        if (length) body.reserve(static_cast<std::size_t>(*length));
    }
    std::size_t on_body_impl(beast::string_view piece, beast::error_code&) override {
        body.append(piece.data(), piece.size());
        return piece.size();
    }
    void on_chunk_header_impl(std::uint64_t, beast::string_view, beast::error_code&) override {}
    std::size_t on_chunk_body_impl(std::uint64_t, beast::string_view piece,
                                   beast::error_code&) override {
        body.append(piece.data(), piece.size());
        return piece.size();
    }
    void on_finish_impl(beast::error_code&) override {}

    std::size_t maxFields_;
    std::size_t fields_ = 0;
    bool headerDone_ = false;
};

class Connection;

}  // namespace

struct Server::Core : std::enable_shared_from_this<Core> {
    // Declared first so that it goes last: destroying it destroys the handlers that still own
    // connections, whose sockets need its services.
    asio::io_context ioc{1};
    Limits limits;
    Handler handler;
    std::string host;    // "127.0.0.1:<port>"
    std::string origin;  // "http://127.0.0.1:<port>"
    tcp::acceptor acceptor{ioc};
    asio::steady_timer acceptPause{ioc};
    std::thread thread;
    std::mutex stopMutex;

    // I/O thread only.
    bool stopping = false;
    std::list<std::weak_ptr<Connection>> connections;
    // Connections that left the table with an early answer and are still writing it.
    std::size_t earlyAnswers = 0;
    std::atomic<std::size_t> connectionCount{0};

    void accept();
    // Closes one connection that holds no request (or lingers), the oldest, or else answers the
    // oldest request that may be answered early, when there is one.
    void makeRoom();
    std::size_t maxEarlyAnswers() const { return limits.maxConnections / 8 + 1; }
};

struct Exchange::Link {
    std::shared_ptr<Server::Core> core;  // keeps the I/O context alive for an answer
    std::weak_ptr<Connection> connection;
    std::atomic<bool> answered{false};
};

namespace {

// One client connection: reads one request within the limits and the idle time, hands it to the
// handler, waits for the answer while watching for the client to go, writes the answer and
// closes. Everything runs on the I/O thread.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(Server::Core& core, tcp::socket socket)
        : core_(core),
          socket_(std::move(socket)),
          deadline_(core.ioc),
          buffer_(std::max<std::size_t>(core.limits.maxHeaderBytes, 512)),
          parser_(core.limits) {}

    // True once the connection is closed (read from any thread).
    std::atomic<bool> gone{false};

    // `crowded`: the server is under pressure, and the client must speak soon.
    void start(bool crowded) {
        registration_ = core_.connections.insert(core_.connections.end(), weak_from_this());
        registered_ = true;
        core_.connectionCount = core_.connections.size();
        if (!crowded) return readHeader();
        arm(std::min(core_.limits.firstByteTimeout, core_.limits.idleTimeout));
        socket_.async_wait(tcp::socket::wait_read,
                           [self = shared_from_this()](beast::error_code ec) {
                               if (self->phase_ != Phase::reading) return;
                               if (ec) return self->close();
                               self->readHeader();
                           });
    }

    // True while the client has not sent a whole request, and nothing it sent waits to be
    // read: nothing it waits for is lost. (A request that has arrived but is not read yet is
    // about to be served; closing it would lose it.)
    bool holdsNoRequest() {
        if (phase_ != Phase::reading) return false;
        beast::error_code ec;
        return socket_.available(ec) == 0;
    }
    // True once the client has had its first-byte time to speak.
    bool hadTimeToSpeak() const {
        return std::chrono::steady_clock::now() - opened_ >=
               std::min(core_.limits.firstByteTimeout, core_.limits.idleTimeout);
    }
    // True while its request waits for an answer that may come early.
    bool mayAnswerEarly() const { return phase_ == Phase::waiting && bool(answerNow_); }
    // True once the answer has gone out and the server only waits for the client to close.
    bool lingers() const { return phase_ == Phase::lingering; }

    // Closed to make room for a newer connection.
    void evict() { close(); }

    // The handler's answer.
    void answer(Response response) {
        if (phase_ == Phase::waiting) send(std::move(response));
    }

    // From the handler (I/O thread).
    void allowEarlyAnswer(std::function<Response()> answerNow) {
        if (phase_ == Phase::waiting) answerNow_ = std::move(answerNow);
    }

    // Gives the early answer and leaves the table: the connection only writes it and closes.
    void answerEarly() {
        auto answerNow = std::move(answerNow_);
        answerNow_ = nullptr;
        Response early;
        try {
            early = answerNow();
        } catch (...) {
            early = refusal(503, "busy");
        }
        gone = true;  // the handler's own answer would reach nobody now
        leaveTable();
        earlyAnswer_ = true;
        ++core_.earlyAnswers;
        send(std::move(early));
    }

    // The server stops.
    void shutdown() {
        switch (phase_) {
            case Phase::waiting:
                send(refusal(503, "shutting down"));
                arm(std::min(core_.limits.idleTimeout, kStopGrace));
                break;
            case Phase::writing:
                arm(std::min(core_.limits.idleTimeout, kStopGrace));
                break;
            default:
                close();
        }
    }

  private:
    enum class Phase { reading, waiting, writing, lingering, closed };

    void readHeader() {
        arm(core_.limits.idleTimeout);
        http::async_read_header(
            socket_, buffer_, parser_,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onHeader(ec); });
    }

    void onHeader(beast::error_code ec) {
        if (phase_ != Phase::reading) return;
        if (ec) return refuseFor(ec, true);
        bool foreign = parser_.hostCount != 1 || parser_.host != core_.host ||
                       parser_.originCount > 1 ||
                       (parser_.originCount == 1 && parser_.origin != core_.origin);
        if (foreign) return send(refusal(403, "forbidden"));
        if (parser_.is_done()) return dispatch();
        if (!parser_.expectsContinue) return readBody();
        static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        asio::async_write(socket_, asio::buffer(kContinue),
                          [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (self->phase_ != Phase::reading) return;
                              if (ec) return self->close();
                              self->readBody();
                          });
    }

    void readBody() {
        http::async_read(socket_, buffer_, parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             if (self->phase_ != Phase::reading) return;
                             if (ec) return self->refuseFor(ec, false);
                             self->dispatch();
                         });
    }

    void refuseFor(beast::error_code ec, bool inHeader) {
        if (ec == http::error::header_limit && parser_.tooManyFields)
            return send(refusal(431, "too many header fields"));
        if (ec == http::error::header_limit || (inHeader && ec == http::error::buffer_overflow))
            return send(refusal(431, "request header too large"));
        if (ec == http::error::body_limit || ec == http::error::buffer_overflow)
            return send(refusal(413, "request body too large"));
        // A client that left (before or within its request) or was timed out gets no answer.
        bool parseError =
            ec.category() == http::make_error_code(http::error::bad_target).category();
        if (parseError && ec != http::error::end_of_stream && ec != http::error::partial_message)
            return send(refusal(400, "malformed request"));
        close();
    }

    void dispatch() {
        Request request;
        request.method = std::move(parser_.method);
        const std::string& target = parser_.target;
        auto mark = target.find('?');
        auto path = percentDecode(std::string_view(target).substr(0, mark));
        if (target.empty() || target.front() != '/' || !path ||
            path->find('\0') != std::string::npos)
            return send(refusal(400, "malformed request target"));
        request.path = std::move(*path);
        if (mark != std::string::npos) request.query = target.substr(mark + 1);
        request.body = std::move(parser_.body);

        phase_ = Phase::waiting;
        disarm();
        auto link = std::make_shared<Exchange::Link>();
        link->core = core_.shared_from_this();
        link->connection = weak_from_this();
        auto exchange = std::make_shared<Exchange>(std::move(request), std::move(link));
        discard();
        try {
            core_.handler(exchange);
        } catch (const std::exception& e) {
            exchange->respond(refusal(500, e.what()));
        } catch (...) {
            exchange->respond(refusal(500, "internal error"));
        }
    }

    void send(Response answer) {
        if (phase_ == Phase::writing || phase_ == Phase::lingering || phase_ == Phase::closed)
            return;
        phase_ = Phase::writing;
        response_.emplace(static_cast<http::status>(answer.status), 11);
        response_->set(http::field::content_type, answer.contentType);
        response_->set(http::field::cache_control, "no-store");
        response_->keep_alive(false);
        response_->body() = std::move(answer.body);
        response_->prepare_payload();
        arm(earlyAnswer_ ? std::min(core_.limits.idleTimeout, kEarlyAnswerWrite)
                         : core_.limits.idleTimeout);
        http::async_write(socket_, *response_,
                          [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              self->onWritten(ec);
                          });
    }

    void onWritten(beast::error_code ec) {
        if (phase_ != Phase::writing) return;
        response_.reset();
        // An early answer's connection has left the table: it holds no place to linger in.
        if (ec || core_.stopping || clientGone_ || earlyAnswer_) return close();
        // Closing with unread input would reset the connection, and the client could lose the
        // answer before reading it: end the sending side and read on until the client closes.
        phase_ = Phase::lingering;
        beast::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        arm(core_.limits.idleTimeout);
        if (!discarding_) discard();
    }

    // Reads and drops whatever the client sends after its request; its end means the client has
    // gone.
    void discard() {
        discarding_ = true;
        socket_.async_read_some(asio::buffer(scratch_),
                                [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                    self->discarding_ = false;
                                    if (self->phase_ == Phase::closed) return;
                                    if (!ec) return self->discard();
                                    if (self->phase_ == Phase::writing) {
                                        // The answer may still get through a half-closed
                                        // connection.
                                        self->clientGone_ = true;
                                        return;
                                    }
                                    self->close();
                                });
    }

    void arm(std::chrono::milliseconds timeout) {
        ++generation_;
        deadline_.expires_after(timeout);
        deadline_.async_wait(
            [self = shared_from_this(), generation = generation_](beast::error_code ec) {
                if (!ec && generation == self->generation_) self->close();
            });
    }

    void disarm() {
        ++generation_;
        deadline_.cancel();
    }

    void close() {
        if (phase_ == Phase::closed) return;
        phase_ = Phase::closed;
        gone = true;
        deadline_.cancel();
        beast::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        if (earlyAnswer_) --core_.earlyAnswers;
        leaveTable();
    }

    void leaveTable() {
        if (!registered_) return;
        registered_ = false;
        core_.connections.erase(registration_);
        core_.connectionCount = core_.connections.size();
    }

    Server::Core& core_;
    tcp::socket socket_;
    asio::steady_timer deadline_;
    std::uint64_t generation_ = 0;
    beast::flat_buffer buffer_;
    RequestParser parser_;
    std::optional<http::response<http::string_body>> response_;
    std::array<char, 4096> scratch_{};
    Phase phase_ = Phase::reading;
    bool discarding_ = false;
    bool clientGone_ = false;
    std::function<Response()> answerNow_;
    bool earlyAnswer_ = false;
    std::chrono::steady_clock::time_point opened_ = std::chrono::steady_clock::now();
    bool registered_ = false;
    std::list<std::weak_ptr<Connection>>::iterator registration_;
};

}  // namespace

void Server::Core::accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (stopping || ec == asio::error::operation_aborted) return;
        if (ec) {
            acceptPause.expires_after(kAcceptPause);
            acceptPause.async_wait([this](beast::error_code waited) {
                if (!waited && !stopping) accept();
            });
            return;
        }
        closeOnExec(socket.native_handle());
        if (connections.size() >= limits.maxConnections) makeRoom();
        if (connections.size() >= limits.maxConnections) {
            beast::error_code ignored;
            socket.close(ignored);
        } else {
            const bool crowded = 2 * connections.size() >= limits.maxConnections;
            std::make_shared<Connection>(*this, std::move(socket))->start(crowded);
        }
        accept();
    });
}

void Server::Core::makeRoom() {
    // The list runs from the oldest connection to the newest. First to go is the oldest that
    // has sent nothing of a request in its first-byte time, then the oldest lingering after its
    // answer. Held polls would otherwise lock every new client out: then the oldest gets its
    // answer now (its page asks again on a new connection), as long as the answers being
    // written stay few. Only then does a connection opened just now, which may not have had
    // the time to send its request, make room.
    std::shared_ptr<Connection> silent, lingering, early;
    for (const auto& weak : connections) {
        auto open = weak.lock();
        if (!open) continue;
        if (open->holdsNoRequest()) {
            if (open->hadTimeToSpeak()) return open->evict();
            if (!silent) silent = open;
        }
        if (!lingering && open->lingers()) lingering = open;
        if (!early && open->mayAnswerEarly()) early = open;
    }
    if (lingering) return lingering->evict();
    if (early && earlyAnswers < maxEarlyAnswers()) return early->answerEarly();
    if (silent) silent->evict();
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::optional<std::string> Request::parameter(std::string_view name) const {
    std::string_view rest = query;
    while (!rest.empty()) {
        auto end = rest.find('&');
        std::string_view pair = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        auto equals = pair.find('=');
        std::string key(pair.substr(0, equals));
        std::replace(key.begin(), key.end(), '+', ' ');
        auto decodedKey = percentDecode(key);
        if (!decodedKey || *decodedKey != name) continue;
        if (equals == std::string_view::npos) return std::string();
        std::string value(pair.substr(equals + 1));
        std::replace(value.begin(), value.end(), '+', ' ');
        return percentDecode(value);
    }
    return std::nullopt;
}

Exchange::Exchange(Request request, std::shared_ptr<Link> link)
    : request_(std::move(request)), link_(std::move(link)) {}

Exchange::~Exchange() {
    if (!link_->answered) respond(refusal(503, "shutting down"));
}

void Exchange::respond(Response response) {
    if (link_->answered.exchange(true)) return;
    asio::post(link_->core->ioc,
               [connection = link_->connection, response = std::move(response)]() mutable {
                   if (auto open = connection.lock()) open->answer(std::move(response));
               });
}

void Exchange::allowEarlyAnswer(std::function<Response()> answerNow) {
    if (auto open = link_->connection.lock()) open->allowEarlyAnswer(std::move(answerNow));
}

bool Exchange::closed() const {
    auto open = link_->connection.lock();
    return !open || open->gone;
}

Server::Server(int port, Limits limits, Handler handler) : core_(std::make_shared<Core>()) {
    if (port < 0 || port > 65535) throw std::runtime_error("invalid port " + std::to_string(port));
    auto& core = *core_;
    core.limits = limits;
    core.handler = std::move(handler);
    beast::error_code ec;
    tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"),
                           static_cast<unsigned short>(port));
    core.acceptor.open(endpoint.protocol(), ec);
    if (!ec) closeOnExec(core.acceptor.native_handle());
    // Reusing the address spares a restart the wait on old connections; it never lets two
    // listeners share a port.
    if (!ec) core.acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) core.acceptor.bind(endpoint, ec);
    if (!ec) core.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        if (port == 0) throw std::runtime_error("cannot listen on 127.0.0.1");
        throw std::runtime_error("port " + std::to_string(port) + " is in use or not allowed");
    }
    port_ = core.acceptor.local_endpoint().port();
    core.host = "127.0.0.1:" + std::to_string(port_);
    core.origin = "http://" + core.host;
    core.accept();
    core.thread = std::thread([&core] {
        for (;;) {
            try {
                core.ioc.run();
                return;
            } catch (const std::exception& e) {
                systemLog(std::string("The display server's I/O failed: ") + e.what());
            }
        }
    });
}

Server::~Server() {
    stop();
}

void Server::stop() {
    std::lock_guard lock(core_->stopMutex);
    if (!core_->thread.joinable()) return;
    asio::post(core_->ioc, [core = core_.get()] {
        core->stopping = true;
        beast::error_code ignored;
        core->acceptor.close(ignored);
        core->acceptPause.cancel();
        // A shutdown may close a connection, which leaves the list.
        auto connections = core->connections;
        for (const auto& weak : connections)
            if (auto open = weak.lock()) open->shutdown();
    });
    core_->thread.join();
}

std::size_t Server::connectionCount() const {
    return core_->connectionCount;
}

}  // namespace platform::loopback
