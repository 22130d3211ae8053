#include "platform/display/WebDisplay.h"

#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/dispatch/SerialQueue.h"
#include "platform/display/HtmlRender.h"
#include "platform/display/Page.h"
#include "platform/display/SharedImage.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/ui/ScreenDump.h"
#include "platform/ui/UIAlertController.h"
#include "platform/ui/UIApplication.h"
#include "platform/ui/UIDriver.h"

namespace platform {

using nlohmann::json;

namespace {

constexpr std::size_t kMaxBody = 64 * 1024;
constexpr double kRefreshInterval = 0.1;

struct Reply {
    int status = 200;
    json body;
};

Reply failure(int status, std::string error) {
    return {status, json{{"ok", false}, {"error", std::move(error)}}};
}

// A malformed request, answered 400 with its message.
struct BadRequest : std::runtime_error {
    using std::runtime_error::runtime_error;
};

CGPoint pointOf(const json& value, const char* field) {
    if (!value.is_array() || value.size() != 2 || !value[0].is_number() || !value[1].is_number())
        throw BadRequest(std::string("\"") + field + "\" must be [x, y]");
    return {value[0].get<double>(), value[1].get<double>()};
}

// A view query, or a window point when the query names one.
struct Query {
    ViewQuery view;
    std::optional<CGPoint> point;
};

Query queryOf(const json& q) {
    if (!q.is_object()) throw BadRequest("a query must be an object");
    Query query;
    if (q.contains("point")) {
        if (q.contains("id") || q.contains("text"))
            throw BadRequest("\"point\" cannot be combined with \"id\" or \"text\"");
        query.point = pointOf(q["point"], "point");
    }
    if (q.contains("id")) {
        if (!q["id"].is_string() || q["id"].get<std::string>().empty())
            throw BadRequest("\"id\" must be a non-empty string");
        query.view.id = q["id"].get<std::string>();
    }
    if (q.contains("text")) {
        if (!q["text"].is_string() || q["text"].get<std::string>().empty())
            throw BadRequest("\"text\" must be a non-empty string");
        query.view.text = q["text"].get<std::string>();
    }
    if (!query.point && query.view.id.empty() && query.view.text.empty())
        throw BadRequest("a query needs \"id\", \"text\" or \"point\"");
    if (q.contains("index")) {
        if (!q["index"].is_number_integer()) throw BadRequest("\"index\" must be an integer");
        query.view.index = q["index"].get<int>();
    }
    if (q.contains("at")) query.view.at = pointOf(q["at"], "at");
    return query;
}

json parseBody(const std::string& body) {
    json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded()) throw BadRequest("malformed JSON");
    if (!parsed.is_object()) throw BadRequest("the body must be a JSON object");
    return parsed;
}

bool safeRelativePath(const std::string& path) {
    if (path.empty() || path.front() == '/') return false;
    for (const auto& part : std::filesystem::path(path))
        if (part == ".." || part == ".") return false;
    return true;
}

const char* contentType(const std::filesystem::path& file) {
    static const std::pair<const char*, const char*> kTypes[] = {
        {".js", "text/javascript"}, {".css", "text/css"},        {".svg", "image/svg+xml"},
        {".png", "image/png"},      {".woff2", "font/woff2"},    {".woff", "font/woff"},
        {".ttf", "font/ttf"},       {".mjs", "text/javascript"},
    };
    auto ext = file.extension().string();
    for (const auto& [e, type] : kTypes)
        if (ext == e) return type;
    return "application/octet-stream";
}

std::optional<std::string> fileContent(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

struct WebDisplay::State {
    WebDisplayOptions options;
    httplib::Server server;
    std::thread thread;
    int port = 0;
    std::string host;    // "127.0.0.1:<port>"
    std::string origin;  // "http://127.0.0.1:<port>"

    std::atomic<bool> stopping{false};
    std::atomic<bool> listenReturned{false};
    mutable std::mutex mutex;
    std::condition_variable changed;
    long revision = 0;
    std::string lastDump;
    std::vector<std::string> sharedFiles;  // names under sharedDirectory()
    std::shared_ptr<Cancelable> timer;

    static std::filesystem::path sharedDirectory() { return cachesDirectory() / "Shared"; }

    // Main thread.
    void refresh() {
        auto window = UIApplication::shared().keyWindow();
        std::string dump;
        if (window) {
            window->layoutIfNeeded();
            dump = screenDump(*window);
        }
        std::lock_guard lock(mutex);
        if (dump == lastDump) return;
        lastDump = std::move(dump);
        ++revision;
        changed.notify_all();
    }

    long currentRevision() const {
        std::lock_guard lock(mutex);
        return revision;
    }

    // Runs `work` on the main queue and waits for it; nullopt when the display stops first.
    // The block owns what it uses, so it may run after the request has been answered.
    std::optional<Reply> onMain(std::function<Reply()> work, const std::shared_ptr<State>& self) {
        struct Job {
            std::mutex mutex;
            std::condition_variable done;
            std::optional<Reply> reply;
        };
        auto job = std::make_shared<Job>();
        std::weak_ptr<State> weak = self;
        mainQueue().async([job, weak, work = std::move(work)] {
            Reply reply;
            try {
                reply = work();
            } catch (const BadRequest& e) {
                reply = failure(400, e.what());
            }
            if (auto state = weak.lock()) state->refresh();
            std::lock_guard lock(job->mutex);
            job->reply = std::move(reply);
            job->done.notify_all();
        });
        std::unique_lock lock(job->mutex);
        while (!job->reply) {
            if (stopping) return std::nullopt;
            job->done.wait_for(lock, std::chrono::milliseconds(50));
        }
        return std::move(job->reply);
    }

    void scheduleRefresh(const std::shared_ptr<State>& self) {
        std::weak_ptr<State> weak = self;
        auto handle = mainQueue().after(kRefreshInterval, [weak] {
            auto state = weak.lock();
            if (!state || state->stopping) return;
            state->refresh();
            state->scheduleRefresh(state);
        });
        std::lock_guard lock(mutex);
        timer = std::move(handle);
    }

    void share(const std::vector<UIActivityItem>& items) {
        for (const auto& item : items) {
            if (!item.image) continue;
            platform::Error error;
            auto directory = sharedDirectory();
            if (!createDirectories(directory, &error)) {
                systemLog("Cannot create the shared folder: " + error.description);
                return;
            }
            // Numbered on from what earlier runs left, so that no shared image is overwritten.
            std::size_t n = 0;
            {
                std::lock_guard lock(mutex);
                n = sharedFiles.size() + 1;
            }
            std::string name;
            for (;; ++n) {
                name = "share-" + std::to_string(n) + ".svg";
                std::error_code ec;
                // An unreadable folder ends the search; the write below then reports it.
                if (!std::filesystem::exists(directory / name, ec) || ec) break;
            }
            std::ofstream out(directory / name, std::ios::binary | std::ios::trunc);
            out << sharedImageSvg(*item.image);
            out.close();
            if (!out) {
                systemLog("Cannot write the shared image " + name);
                continue;
            }
            std::lock_guard lock(mutex);
            sharedFiles.push_back(name);
        }
    }

    json links() const {
        json shared = json::array();
        {
            std::lock_guard lock(mutex);
            for (const auto& name : sharedFiles)
                shared.push_back("/shared/" + name);
        }
        return json{{"opened", UIApplication::shared().openedURLs()}, {"shared", shared}};
    }
};

namespace {

Reply driverReply(const DriverResult& result, long revision) {
    switch (result.status) {
        case DriverResult::Status::ok:
            return {200, json{{"ok", true}, {"revision", revision}}};
        case DriverResult::Status::notFound:
            return failure(404, "no view matches");
        case DriverResult::Status::notHittable:
            break;
    }
    return failure(409, result.reason);
}

// Where a query touches, in window coordinates; nullopt when no view matches.
std::optional<CGPoint> windowPoint(UIDriver& driver, const Query& query) {
    if (query.point) return query.point;
    auto view = driver.find(query.view);
    if (!view) return std::nullopt;
    return view->convert(query.view.at.value_or(view->bounds().center()), nullptr);
}

DriverResult tap(const json& body) {
    Query query = queryOf(body);
    UIDriver driver;
    return query.point ? driver.tapAt(*query.point) : driver.tap(query.view);
}

DriverResult type(const json& body) {
    bool hasText = body.contains("text"), hasKey = body.contains("key");
    if (hasText == hasKey) throw BadRequest("give \"text\" or \"key\"");
    UIDriver driver;
    DriverResult result;
    if (hasText) {
        if (!body["text"].is_string()) throw BadRequest("\"text\" must be a string");
        result = driver.type(body["text"].get<std::string>());
    } else {
        if (!body["key"].is_string() || body["key"] != "Backspace")
            throw BadRequest("the only key is \"Backspace\"");
        result = driver.pressKey("Backspace");
    }
    if (result.status == DriverResult::Status::notFound)
        return {DriverResult::Status::notHittable, "no first responder"};
    return result;
}

DriverResult swipe(const json& body) {
    Query query = queryOf(body);
    if (query.point) throw BadRequest("a swipe needs \"id\" or \"text\"");
    if (!body.contains("direction") || !body["direction"].is_string())
        throw BadRequest("\"direction\" must be \"left\" or \"right\"");
    auto direction = body["direction"].get<std::string>();
    if (direction != "left" && direction != "right")
        throw BadRequest("\"direction\" must be \"left\" or \"right\"");
    return UIDriver().swipe(query.view,
                            direction == "left" ? UISwipeDirection::left : UISwipeDirection::right);
}

// {"point": [x, y], "by": [dx, dy]}: the mouse wheel over the point.
DriverResult wheel(const json& body) {
    if (!body.contains("point") || !body.contains("by"))
        throw BadRequest("a scroll needs \"point\" and \"by\"");
    const CGPoint point = pointOf(body["point"], "point");
    const CGPoint by = pointOf(body["by"], "by");
    return UIDriver().scroll(point, by.x, by.y);
}

DriverResult drag(const json& body) {
    if (!body.contains("from") || !body.contains("to"))
        throw BadRequest("a drag needs \"from\" and \"to\"");
    Query from = queryOf(body["from"]), to = queryOf(body["to"]);
    UIDriver driver;
    auto start = windowPoint(driver, from), end = windowPoint(driver, to);
    if (!start || !end) return {DriverResult::Status::notFound, "no view matches"};
    return driver.drag(*start, *end);
}

}  // namespace

WebDisplay::WebDisplay(int port, WebDisplayOptions options) : state_(std::make_shared<State>()) {
    if (port < 0 || port > 65535) throw std::runtime_error("invalid port " + std::to_string(port));
    auto& s = *state_;
    s.options = std::move(options);
    auto& server = s.server;
    server.set_payload_max_length(kMaxBody);
    // Reusing the address spares a restart the wait on old connections; sharing the port (the
    // library's default) would let a second instance bind it silently.
    server.set_socket_options([](int sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // One request per connection: stop() then never waits on an idle kept-alive connection.
    server.set_keep_alive_max_count(1);
    server.new_task_queue = [] { return new httplib::ThreadPool(16); };
    if (port == 0) {
        s.port = server.bind_to_any_port("127.0.0.1");
        if (s.port <= 0) throw std::runtime_error("cannot listen on 127.0.0.1");
    } else {
        if (!server.bind_to_port("127.0.0.1", port))
            throw std::runtime_error("port " + std::to_string(port) + " is in use or not allowed");
        s.port = port;
    }
    s.host = "127.0.0.1:" + std::to_string(s.port);
    s.origin = "http://" + s.host;

    std::weak_ptr<State> weak = state_;
    // Only pages served from this address may drive the app.
    server.set_pre_routing_handler([weak](const httplib::Request& req, httplib::Response& res) {
        auto state = weak.lock();
        bool foreign =
            !state || req.get_header_value("Host") != state->host ||
            (req.has_header("Origin") && req.get_header_value("Origin") != state->origin);
        if (!foreign) return httplib::Server::HandlerResponse::Unhandled;
        res.status = 403;
        res.set_content(json{{"ok", false}, {"error", "forbidden"}}.dump(), "application/json");
        return httplib::Server::HandlerResponse::Handled;
    });

    auto send = [](httplib::Response& res, const std::optional<Reply>& reply) {
        if (!reply) {
            res.status = 503;
            res.set_content(json{{"ok", false}, {"error", "shutting down"}}.dump(),
                            "application/json");
            return;
        }
        res.status = reply->status;
        res.set_content(reply->body.dump(), "application/json");
    };
    auto files = [](const std::filesystem::path& root, const std::string& path,
                    httplib::Response& res) {
        std::optional<std::string> content;
        if (!root.empty() && safeRelativePath(path)) content = fileContent(root / path);
        if (!content) {
            res.status = 404;
            res.set_content("not found", "text/plain");
            return;
        }
        res.set_content(std::move(*content), contentType(path));
    };

    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(displayPage(), "text/html; charset=utf-8");
    });
    server.Get(R"(/katex/(.+))",
               [weak, files](const httplib::Request& req, httplib::Response& res) {
                   if (auto state = weak.lock())
                       files(state->options.katexDirectory, req.matches[1], res);
               });
    server.Get(R"(/images/(.+))",
               [weak, files](const httplib::Request& req, httplib::Response& res) {
                   if (auto state = weak.lock())
                       files(state->options.imageDirectory, req.matches[1], res);
               });
    server.Get(R"(/shared/(.+))",
               [weak, files](const httplib::Request& req, httplib::Response& res) {
                   if (weak.lock()) files(State::sharedDirectory(), req.matches[1], res);
               });
    server.Get("/ui/frame", [weak, send](const httplib::Request& req, httplib::Response& res) {
        auto state = weak.lock();
        if (!state) return;
        long after = -1;
        if (req.has_param("after")) {
            try {
                after = std::stol(req.get_param_value("after"));
            } catch (const std::exception&) {
                send(res, failure(400, "\"after\" must be a number"));
                return;
            }
        }
        {
            std::unique_lock lock(state->mutex);
            auto deadline = std::chrono::steady_clock::now() + state->options.pollTimeout;
            while (state->revision <= after && !state->stopping) {
                if (state->changed.wait_until(lock, deadline) == std::cv_status::timeout) break;
            }
        }
        HtmlRenderOptions html{state->options.imageDirectory};
        send(res, state->onMain(
                      [weak, html] {
                          auto s = weak.lock();
                          if (!s) return failure(503, "shutting down");
                          auto window = UIApplication::shared().keyWindow();
                          std::string markup;
                          if (window) {
                              window->layoutIfNeeded();
                              markup = renderHtml(*window, html);
                          }
                          s->refresh();
                          json body{{"revision", s->currentRevision()}, {"html", markup}};
                          body.update(s->links());
                          return Reply{200, body};
                      },
                      state));
    });
    server.Get("/driver/screen", [weak, send](const httplib::Request&, httplib::Response& res) {
        auto state = weak.lock();
        if (!state) return;
        send(res,
             state->onMain(
                 [weak] {
                     auto s = weak.lock();
                     if (!s) return failure(503, "shutting down");
                     std::string dump = UIDriver().screen();
                     s->refresh();
                     return Reply{200, json{{"revision", s->currentRevision()}, {"dump", dump}}};
                 },
                 state));
    });

    auto action = [weak, send](DriverResult (*perform)(const json&)) {
        return [weak, send, perform](const httplib::Request& req, httplib::Response& res) {
            auto state = weak.lock();
            if (!state) return;
            std::string body = req.body;
            send(res, state->onMain(
                          [weak, perform, body] {
                              DriverResult result = perform(parseBody(body));
                              auto s = weak.lock();
                              if (!s) return failure(503, "shutting down");
                              s->refresh();
                              return driverReply(result, s->currentRevision());
                          },
                          state));
        };
    };
    server.Post("/driver/tap", action(&tap));
    server.Post("/driver/type", action(&type));
    server.Post("/driver/swipe", action(&swipe));
    server.Post("/driver/drag", action(&drag));
    server.Post("/driver/scroll", action(&wheel));

    UIActivityViewController::setActivityHandler(
        [weak](const std::string&, const std::vector<UIActivityItem>& items) {
            if (auto state = weak.lock()) state->share(items);
        });
    s.thread = std::thread([state = state_] {
        state->server.listen_after_bind();
        state->listenReturned = true;
    });
    // The socket already accepts connections; wait until stop() would reach the accept loop.
    while (!server.is_running() && !s.listenReturned)
        std::this_thread::yield();
    state_->scheduleRefresh(state_);
}

WebDisplay::~WebDisplay() {
    UIActivityViewController::setActivityHandler(nullptr);
    state_->stopping = true;
    {
        std::lock_guard lock(state_->mutex);
        state_->changed.notify_all();
        if (state_->timer) state_->timer->cancel();
    }
    state_->server.stop();
    if (state_->thread.joinable()) state_->thread.join();
}

int WebDisplay::port() const {
    return state_->port;
}

std::string WebDisplay::url() const {
    return state_->origin + "/";
}

long WebDisplay::revision() const {
    return state_->currentRevision();
}

void WebDisplay::refresh() {
    state_->refresh();
}

}  // namespace platform
