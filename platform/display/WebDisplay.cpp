#include "platform/display/WebDisplay.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>
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

constexpr double kRefreshInterval = 0.1;

struct Reply {
    int status = 200;
    json body;
};

Reply failure(int status, std::string error) {
    return {status, json{{"ok", false}, {"error", std::move(error)}}};
}

Reply shuttingDown() {
    return failure(503, "shutting down");
}

loopback::Response answerOf(const Reply& reply) {
    return {reply.status, "application/json", reply.body.dump()};
}

// A decimal integer and nothing else.
std::optional<long> wholeNumber(std::string_view text) {
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// A random token that tells this display from an earlier one on the same port.
std::string newInstance() {
    std::random_device device;
    std::ostringstream out;
    out << std::hex << std::setfill('0') << std::setw(8) << device() << std::setw(8) << device();
    return out.str();
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
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string::npos) return false;
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

// A file under `root` (never above it), or 404.
loopback::Response fileAnswer(const std::filesystem::path& root, const std::string& path) {
    std::optional<std::string> content;
    if (!root.empty() && safeRelativePath(path)) content = fileContent(root / path);
    if (!content) return {404, "text/plain", "not found"};
    return {200, contentType(path), std::move(*content)};
}

}  // namespace

struct WebDisplay::State : std::enable_shared_from_this<State> {
    WebDisplayOptions options;
    std::unique_ptr<loopback::Server> server;
    std::string instance;

    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    long revision = 0;
    std::string lastDump;
    // The frame rendered last and its revision: for a poll answered early to make room, and for
    // one behind the revision when the frame is of the revision there is.
    mutable std::shared_ptr<const loopback::Response> lastFrame;
    mutable long lastFrameRevision = -1;
    std::vector<std::string> sharedFiles;  // names under sharedDirectory()

    // Frame requests waiting for a revision after theirs: the server's thread adds them, the
    // main thread answers them. Under `mutex`.
    struct Poll {
        std::shared_ptr<loopback::Exchange> exchange;
        long after = 0;
        std::shared_ptr<Cancelable> timeout;
    };
    std::vector<Poll> polls;
    std::atomic<std::size_t> pollCount{0};
    std::shared_ptr<Cancelable> timer;

    static std::filesystem::path sharedDirectory() { return cachesDirectory() / "Shared"; }

    // Main thread. The revision names what a frame shows: the screen and the links beside it.
    void refresh() {
        auto window = UIApplication::shared().keyWindow();
        std::string dump;
        if (window) {
            window->layoutIfNeeded();
            dump = screenDump(*window);
        }
        dump += links().dump();
        {
            std::lock_guard lock(mutex);
            if (dump != lastDump) {
                lastDump = std::move(dump);
                ++revision;
            }
        }
        answerPolls();
    }

    long currentRevision() const {
        std::lock_guard lock(mutex);
        return revision;
    }

    // Main thread: the frame of the current screen.
    loopback::Response frame() const {
        auto window = UIApplication::shared().keyWindow();
        std::string markup;
        if (window) {
            window->layoutIfNeeded();
            markup = renderHtml(*window, HtmlRenderOptions{options.imageDirectory});
        }
        const long shown = currentRevision();
        json body{{"revision", shown}, {"html", markup}, {"instance", instance}};
        body.update(links());
        auto answer = std::make_shared<const loopback::Response>(
            loopback::Response{200, "application/json", body.dump()});
        std::lock_guard lock(mutex);
        lastFrame = answer;
        lastFrameRevision = shown;
        return *answer;
    }

    // Any thread: the frame rendered last, or, before any, the current revision with no
    // markup. A poll answered early waits for a revision after its own, so its page has shown
    // this one already and only asks again.
    loopback::Response latestFrame() const {
        std::lock_guard lock(mutex);
        if (lastFrame) return *lastFrame;
        json body{{"revision", revision}, {"html", ""}, {"instance", instance}};
        return {200, "application/json", body.dump()};
    }

    // Main thread: answers the polls behind the current revision with one rendering, and forgets
    // those whose client has gone or that were answered early to make room.
    void answerPolls() {
        std::vector<std::shared_ptr<loopback::Exchange>> due;
        std::vector<std::shared_ptr<Cancelable>> done;
        {
            std::lock_guard lock(mutex);
            if (polls.empty()) return;
            std::erase_if(polls, [&](Poll& poll) {
                const bool closed = poll.exchange->closed();
                if (!closed && poll.after >= revision) return false;
                if (!closed) due.push_back(poll.exchange);
                done.push_back(std::move(poll.timeout));
                return true;
            });
            pollCount = polls.size();
        }
        for (const auto& timeout : done)
            timeout->cancel();
        if (due.empty()) return;
        const auto answer = frame();
        for (const auto& exchange : due)
            exchange->respond(answer);
    }

    // The server's thread: GET /ui/frame?after=<after>. A poll for the revision there is, or a
    // later one, waits without the main thread: a refresh that moves the revision on answers it
    // (after a driver's action, or the periodic one), or its time runs out. One behind gets the
    // frame rendered last when that is of the revision there is, else a new rendering. So a
    // flood of polls puts nothing on the main queue but a rendering for each new revision.
    void poll(const std::shared_ptr<loopback::Exchange>& exchange, long after) {
        std::weak_ptr<State> weak = weak_from_this();
        std::weak_ptr<loopback::Exchange> waiting = exchange;
        const double seconds = std::chrono::duration<double>(options.pollTimeout).count();
        // Set before the lock (a timer takes the clock's): the poll may not need it.
        auto timeout = mainQueue().after(seconds, [weak, waiting] {
            auto state = weak.lock();
            if (state && !state->stopping) state->expire(waiting);
        });
        std::shared_ptr<const loopback::Response> rendered;
        {
            std::lock_guard lock(mutex);
            if (after >= revision) {
                polls.push_back({exchange, after, std::move(timeout)});
                pollCount = polls.size();
                return;
            }
            if (lastFrame && lastFrameRevision == revision) rendered = lastFrame;
        }
        timeout->cancel();
        if (rendered) return exchange->respond(*rendered);
        mainQueue().async([weak, exchange] {
            auto state = weak.lock();
            if (!state || state->stopping) return exchange->respond(answerOf(shuttingDown()));
            if (exchange->closed()) return;
            state->refresh();
            exchange->respond(state->frame());
        });
    }

    // Main thread: a poll's time is up; it gets the current frame.
    void expire(const std::weak_ptr<loopback::Exchange>& waiting) {
        auto exchange = waiting.lock();
        if (!exchange) return;
        {
            std::lock_guard lock(mutex);
            auto found = std::find_if(polls.begin(), polls.end(),
                                      [&](const Poll& poll) { return poll.exchange == exchange; });
            if (found == polls.end()) return;
            polls.erase(found);
            pollCount = polls.size();
        }
        refresh();
        exchange->respond(frame());
    }

    // Runs `work` on the main queue and answers with its reply.
    void onMain(const std::shared_ptr<loopback::Exchange>& exchange,
                std::function<Reply(State&)> work) {
        std::weak_ptr<State> weak = weak_from_this();
        mainQueue().async([weak, exchange, work = std::move(work)] {
            auto state = weak.lock();
            if (!state || state->stopping) return exchange->respond(answerOf(shuttingDown()));
            Reply reply;
            try {
                reply = work(*state);
            } catch (const BadRequest& e) {
                reply = failure(400, e.what());
            } catch (const std::exception& e) {
                reply = failure(500, e.what());
            }
            state->refresh();
            exchange->respond(answerOf(reply));
        });
    }

    void scheduleRefresh() {
        std::weak_ptr<State> weak = weak_from_this();
        auto handle = mainQueue().after(kRefreshInterval, [weak] {
            auto state = weak.lock();
            if (!state || state->stopping) return;
            state->refresh();
            state->scheduleRefresh();
        });
        std::lock_guard lock(mutex);
        timer = std::move(handle);
    }

    // I/O thread: every request that passed the server's checks.
    void handle(const std::shared_ptr<loopback::Exchange>& exchange);

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
                name = "share-" + std::to_string(n) + ".png";
                std::error_code ec;
                // An unreadable folder ends the search; the write below then reports it.
                if (!std::filesystem::exists(directory / name, ec) || ec) break;
            }
            const auto png = sharedImagePng(
                *item.image, {options.imageDirectory, options.katexDirectory / "fonts"});
            if (!png) {
                systemLog("Cannot draw the shared image " + name);
                continue;
            }
            std::ofstream out(directory / name, std::ios::binary | std::ios::trunc);
            out << *png;
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

// {"point": [x, y]} or a view query, optionally with "caret": n, the code point offset where a
// tap on a text field puts its caret (the page knows which character the click fell beside).
DriverResult tap(const json& body) {
    Query query = queryOf(body);
    std::optional<std::size_t> caret;
    if (body.contains("caret")) {
        if (!body["caret"].is_number_unsigned())
            throw BadRequest("\"caret\" must be a character offset, a whole number from 0");
        // An offset past any text only puts the caret at the end.
        caret = static_cast<std::size_t>(std::min<std::uint64_t>(
            body["caret"].get<std::uint64_t>(), std::numeric_limits<std::size_t>::max()));
    }
    UIDriver driver;
    return query.point ? driver.tapAt(*query.point, caret) : driver.tap(query.view, caret);
}

// The keys a tool or the page may press in the focused field; Shift matters to the caret keys.
constexpr const char* kDriverKeys[] = {"Backspace",  "Delete", "ArrowLeft",
                                       "ArrowRight", "Home",   "End"};

DriverResult type(const json& body) {
    bool hasText = body.contains("text"), hasKey = body.contains("key");
    if (hasText == hasKey) throw BadRequest("give \"text\" or \"key\"");
    bool shift = false;
    if (body.contains("shift")) {
        if (!hasKey) throw BadRequest("\"shift\" goes with \"key\"");
        if (!body["shift"].is_boolean()) throw BadRequest("\"shift\" must be true or false");
        shift = body["shift"].get<bool>();
    }
    UIDriver driver;
    DriverResult result;
    if (hasText) {
        if (!body["text"].is_string()) throw BadRequest("\"text\" must be a string");
        result = driver.type(body["text"].get<std::string>());
    } else {
        const json& key = body["key"];
        if (!key.is_string() || std::none_of(std::begin(kDriverKeys), std::end(kDriverKeys),
                                             [&](const char* name) { return key == name; }))
            throw BadRequest(
                "\"key\" must be Backspace, Delete, ArrowLeft, ArrowRight, Home or End");
        result = driver.pressKey(key.get<std::string>(), shift);
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

// {"point": [x, y], "scale": s} (or a view query in place of the point): a pinch there.
DriverResult pinch(const json& body) {
    if (!body.contains("scale") || !body["scale"].is_number())
        throw BadRequest("a pinch needs \"scale\", a number above 0");
    const double scale = body["scale"].get<double>();
    if (!(scale > 0) || !std::isfinite(scale))
        throw BadRequest("a pinch needs \"scale\", a number above 0");
    UIDriver driver;
    const auto point = windowPoint(driver, queryOf(body));
    if (!point) return {DriverResult::Status::notFound, "no view matches"};
    return driver.pinch(*point, scale);
}

DriverResult doubleTap(const json& body) {
    UIDriver driver;
    const auto point = windowPoint(driver, queryOf(body));
    if (!point) return {DriverResult::Status::notFound, "no view matches"};
    return driver.doubleTap(*point);
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

void WebDisplay::State::handle(const std::shared_ptr<loopback::Exchange>& exchange) {
    const loopback::Request& request = exchange->request();
    const std::string& path = request.path;
    if (request.method == "GET") {
        if (path == "/") return exchange->respond({200, "text/html; charset=utf-8", displayPage()});
        // The page names no icon of its own; a browser that asks anyway learns there is none
        // without an error.
        if (path == "/favicon.ico") return exchange->respond({204, "image/x-icon", ""});
        const std::pair<std::string_view, std::filesystem::path> folders[] = {
            {"/katex/", options.katexDirectory},
            {"/images/", options.imageDirectory},
            {"/shared/", sharedDirectory()},
        };
        for (const auto& [prefix, root] : folders)
            if (path.starts_with(prefix))
                return exchange->respond(fileAnswer(root, path.substr(prefix.size())));
        if (path == "/ui/frame") {
            long after = -1;
            if (auto text = request.parameter("after")) {
                auto parsed = wholeNumber(*text);
                if (!parsed)
                    return exchange->respond(answerOf(failure(400, "\"after\" must be a number")));
                after = *parsed;
            }
            // A page of an earlier run counts revisions of that run: it gets this one's at once.
            if (auto seen = request.parameter("instance"); seen && *seen != instance) after = -1;
            std::weak_ptr<State> weak = weak_from_this();
            // Held polls must not lock new connections out: when the server is full, the oldest
            // is answered at once with the frame it has, and its page simply polls again.
            exchange->allowEarlyAnswer([weak] {
                auto state = weak.lock();
                return state ? state->latestFrame() : answerOf(shuttingDown());
            });
            if (stopping) return exchange->respond(answerOf(shuttingDown()));
            return poll(exchange, after);
        }
        if (path == "/driver/screen") {
            return onMain(exchange, [](State& state) {
                std::string dump = UIDriver().screen();
                state.refresh();
                return Reply{200, json{{"revision", state.currentRevision()}, {"dump", dump}}};
            });
        }
    } else if (request.method == "POST") {
        static const std::pair<std::string_view, DriverResult (*)(const json&)> kActions[] = {
            {"/driver/tap", &tap},
            {"/driver/type", &type},
            {"/driver/swipe", &swipe},
            {"/driver/drag", &drag},
            {"/driver/scroll", &wheel},
            {"/driver/pinch", &pinch},
            {"/driver/doubletap", &doubleTap},
        };
        for (const auto& action : kActions) {
            if (path != action.first) continue;
            return onMain(exchange, [perform = action.second, body = request.body](State& state) {
                DriverResult result = perform(parseBody(body));
                state.refresh();
                return driverReply(result, state.currentRevision());
            });
        }
    }
    exchange->respond({404, "text/plain", "not found"});
}

WebDisplay::WebDisplay(int port, WebDisplayOptions options) : state_(std::make_shared<State>()) {
    auto& s = *state_;
    s.options = std::move(options);
    s.instance = newInstance();
    std::weak_ptr<State> weak = state_;
    s.server = std::make_unique<loopback::Server>(
        port, s.options.limits, [weak](const std::shared_ptr<loopback::Exchange>& exchange) {
            if (auto state = weak.lock()) state->handle(exchange);
        });
    UIActivityViewController::setActivityHandler(
        [weak](const std::string&, const std::vector<UIActivityItem>& items) {
            if (auto state = weak.lock()) state->share(items);
        });
    s.scheduleRefresh();
}

WebDisplay::~WebDisplay() {
    UIActivityViewController::setActivityHandler(nullptr);
    state_->stopping = true;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->timer) state_->timer->cancel();
    }
    // Answers whatever still waits, polls included, and ends the server's thread.
    state_->server->stop();
    std::vector<State::Poll> polls;
    {
        std::lock_guard lock(state_->mutex);
        polls.swap(state_->polls);
        state_->pollCount = 0;
    }
    for (auto& poll : polls)
        poll.timeout->cancel();
}

int WebDisplay::port() const {
    return state_->server->port();
}

std::string WebDisplay::url() const {
    return "http://127.0.0.1:" + std::to_string(port()) + "/";
}

long WebDisplay::revision() const {
    return state_->currentRevision();
}

void WebDisplay::refresh() {
    state_->refresh();
}

std::size_t WebDisplay::pendingPolls() const {
    return state_->pollCount;
}

const std::string& WebDisplay::instance() const {
    return state_->instance;
}

}  // namespace platform
