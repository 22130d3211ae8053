#include "platform/display/WebDisplay.h"
#include "platform/display/SharedImage.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/SerialQueue.h"
#include "platform/display/HtmlRender.h"
#include "platform/foundation/Paths.h"
#include "platform/kits/MTMathUILabel.h"
#include "platform/ui/UIAlertController.h"
#include "platform/ui/UIControl.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIScrollView.h"
#include "platform/ui/UITestSupport.h"
#include "platform/ui/UITextField.h"
#include "testkit/RawSocket.h"
#include "testkit/TempHome.h"

namespace platform {
namespace {

using nlohmann::json;

// A bound on waiting for the display, reached only when it fails: far above what a loaded machine
// needs. How fast a request is served beside waiting polls is measured in
// bench/display_server_bench.
constexpr auto kWait = std::chrono::seconds(60);

// Draws a triangle, as a chart view would.
class Triangle : public UIView {
  public:
    using UIView::UIView;
    void draw(CGContext& ctx, CGRect) const override {
        UIBezierPath path;
        path.moveTo({0, 10});
        path.addLineTo({5, 0});
        path.addLineTo({10, 10});
        path.close();
        path.lineWidth = 2;
        ctx.drawPath(path, UIColor(1, 0, 0, 1), std::nullopt);
    }
};

class Screen : public UIViewController {
  public:
    std::shared_ptr<UILabel> label = std::make_shared<UILabel>(CGRect{10, 40, 200, 20});
    std::shared_ptr<UIButton> go = UIButton::systemButton("Go");
    std::shared_ptr<UIButton> off = UIButton::systemButton("Off");
    std::shared_ptr<UIButton> under = UIButton::systemButton("Under");
    std::shared_ptr<UIView> cover = std::make_shared<UIView>(CGRect{0, 200, 100, 44});
    std::shared_ptr<UIView> secret = std::make_shared<UIView>(CGRect{0, 0, 10, 10});
    std::shared_ptr<MTMathUILabel> formula = std::make_shared<MTMathUILabel>();
    std::shared_ptr<UITextField> field = std::make_shared<UITextField>(CGRect{10, 300, 200, 40});
    std::shared_ptr<Triangle> triangle = std::make_shared<Triangle>(CGRect{250, 40, 10, 10});
    int taps = 0;

    void viewDidLoad() override {
        label->accessibilityIdentifier = "greeting";
        label->setText("Hello <you>");
        label->font = {"Avenir-Heavy", 20};
        label->textAlignment = NSTextAlignment::center;
        go->accessibilityIdentifier = "go";
        go->setFrame({10, 100, 100, 44});
        go->addTarget(UIControlEvents::touchUpInside, [this](UIControl&) {
            ++taps;
            label->setText("Tapped " + std::to_string(taps));
        });
        off->accessibilityIdentifier = "off";
        off->setFrame({150, 100, 100, 44});
        off->setEnabled(false);
        under->accessibilityIdentifier = "under";
        under->setFrame({0, 200, 100, 44});
        cover->setBackgroundColor(UIColor(0, 0, 1, 0.5));
        secret->accessibilityIdentifier = "secret";
        secret->setHidden(true);
        formula->accessibilityIdentifier = "formula";
        formula->setFrame({10, 400, 300, 40});
        formula->setLatex(R"(\frac{a}{b}<"c"&d)");
        field->accessibilityIdentifier = "field";
        for (const auto& v : std::initializer_list<std::shared_ptr<UIView>>{
                 label, go, off, under, cover, secret, formula, field, triangle})
            view()->addSubview(v);
    }
};

struct Answer {
    int status = 0;
    json body;
    std::string raw;
};

class WebDisplayTest : public testing::UITest {
  protected:
    WebDisplayTest() { show(screen_); }

    void start(WebDisplayOptions options = {}) {
        display_ = std::make_unique<WebDisplay>(0, std::move(options));
    }

    // Runs `request` on a client thread while this (main) thread runs the main loop.
    Answer call(const std::function<httplib::Result(httplib::Client&)>& request) {
        Answer answer;
        std::thread client([&] {
            httplib::Client c("127.0.0.1", display_->port());
            c.set_read_timeout(30);
            if (auto result = request(c)) {
                answer.status = result->status;
                answer.raw = result->body;
                answer.body = json::parse(result->body, nullptr, false);
            }
            stopMainLoop();
        });
        runMainLoop();
        client.join();
        return answer;
    }
    // Runs `client` on a thread of its own while this (main) thread runs the main loop.
    void onClientThread(const std::function<void()>& client) {
        std::thread thread([&] {
            client();
            stopMainLoop();
        });
        runMainLoop();
        thread.join();
    }
    // Polls `done` until it holds or kWait passes; the other thread does the work meanwhile.
    static bool waitFor(const std::function<bool()>& done, bool yield = true) {
        auto deadline = std::chrono::steady_clock::now() + kWait;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            if (yield) std::this_thread::yield();
        }
        return true;
    }
    // A request from a client thread, while the test thread runs the main loop.
    Answer getFromClient(const std::string& path) {
        Answer answer;
        httplib::Client c("127.0.0.1", display_->port());
        if (auto result = c.Get(path)) {
            answer.status = result->status;
            answer.body = json::parse(result->body, nullptr, false);
        }
        return answer;
    }
    Answer post(const std::string& path, const std::string& body) {
        return call([&](httplib::Client& c) { return c.Post(path, body, "application/json"); });
    }
    Answer get(const std::string& path, const httplib::Headers& headers = {}) {
        return call([&](httplib::Client& c) { return c.Get(path, headers); });
    }

    testkit::TempHome home_;
    std::shared_ptr<Screen> screen_ = std::make_shared<Screen>();
    std::unique_ptr<WebDisplay> display_;
};

TEST_F(WebDisplayTest, DriverActionsAnswerWithTheirStatusAndJson) {
    start();
    struct Case {
        const char* path;
        const char* body;
        int status;
        json expected;  // null: {"ok": true, "revision": …}
    };
    const Case cases[] = {
        {"/driver/tap", R"({"id": "go"})", 200, nullptr},
        {"/driver/tap", R"({"text": "Go"})", 200, nullptr},
        {"/driver/tap", R"({"id": "missing"})", 404, {{"ok", false}, {"error", "no view matches"}}},
        {"/driver/tap", R"({"id": "secret"})", 404, {{"ok", false}, {"error", "no view matches"}}},
        {"/driver/tap", R"({"id": "off"})", 409, {{"ok", false}, {"error", "disabled"}}},
        {"/driver/tap", R"({"id": "under"})", 409, {{"ok", false}, {"error", "covered by UIView"}}},
        {"/driver/tap", R"({"point": [60, 122]})", 200, nullptr},
        {"/driver/type", R"({"text": "x"})", 409, {{"ok", false}, {"error", "no first responder"}}},
        {"/driver/tap", R"({"id": "field"})", 200, nullptr},
        {"/driver/type", R"({"text": "12"})", 200, nullptr},
        {"/driver/type", R"({"key": "Backspace"})", 200, nullptr},
        // "1": the caret keys, Delete, and a tap that places the caret.
        {"/driver/type", R"({"text": "234"})", 200, nullptr},
        {"/driver/type", R"({"key": "Home"})", 200, nullptr},
        {"/driver/type", R"({"key": "ArrowRight", "shift": true})", 200, nullptr},
        {"/driver/type", R"({"key": "ArrowRight", "shift": true})", 200, nullptr},
        {"/driver/type", R"({"key": "Delete"})", 200, nullptr},
        {"/driver/type", R"({"key": "End", "shift": false})", 200, nullptr},
        {"/driver/type", R"({"key": "ArrowLeft"})", 200, nullptr},
        {"/driver/tap", R"({"id": "field", "caret": 2})", 200, nullptr},
        {"/driver/type", R"({"text": "5"})", 200, nullptr},
        {"/driver/tap", R"({"point": [20, 310], "caret": 0})", 200, nullptr},
        {"/driver/type", R"({"text": "6"})", 200, nullptr},
        {"/driver/tap", R"({"id": "field", "caret": 7})", 200, nullptr},
        {"/driver/type", R"({"key": "Backspace"})", 200, nullptr},
        {"/driver/swipe", R"({"id": "go", "direction": "left"})", 200, nullptr},
        {"/driver/swipe", R"({"id": "go", "direction": "up"})", 400, nullptr},
        {"/driver/drag", R"({"from": {"id": "go"}, "to": {"point": [200, 300]}})", 200, nullptr},
        {"/driver/drag",
         R"({"from": {"id": "nope"}, "to": {"point": [1, 1]}})",
         404,
         {{"ok", false}, {"error", "no view matches"}}},
        {"/driver/tap", "{\"id\": ", 400, {{"ok", false}, {"error", "malformed JSON"}}},
        {"/driver/tap", R"([1, 2])", 400, nullptr},
        {"/driver/tap", R"({"point": [1]})", 400, nullptr},
        {"/driver/tap", R"({"id": 3})", 400, nullptr},
        {"/driver/tap", R"({})", 400, nullptr},
        {"/driver/type", R"({"key": "Escape"})", 400, nullptr},
        {"/driver/type", R"({"key": "ArrowUp"})", 400, nullptr},
        {"/driver/type", R"({"key": "Home", "shift": 1})", 400, nullptr},
        {"/driver/type",
         R"({"text": "1", "shift": true})",
         400,
         {{"ok", false}, {"error", "\"shift\" goes with \"key\""}}},
        {"/driver/tap",
         R"({"id": "field", "caret": -1})",
         400,
         {{"ok", false}, {"error", "\"caret\" must be a character offset, a whole number from 0"}}},
        {"/driver/tap", R"({"id": "field", "caret": 1.5})", 400, nullptr},
        {"/driver/tap", R"({"id": "field", "caret": "1"})", 400, nullptr},
        {"/driver/type", R"({"text": "a", "key": "Backspace"})", 400, nullptr},
        {"/driver/drag", R"({"from": {"id": "go"}})", 400, nullptr},
        {"/driver/pinch", R"({"point": [60, 122], "scale": 2.5})", 200, nullptr},
        {"/driver/pinch", R"({"id": "go", "scale": 0.5})", 200, nullptr},
        {"/driver/pinch",
         R"({"id": "nope", "scale": 2})",
         404,
         {{"ok", false}, {"error", "no view matches"}}},
        {"/driver/pinch",
         R"({"point": [60, 122], "scale": 0})",
         400,
         {{"ok", false}, {"error", "a pinch needs \"scale\", a number above 0"}}},
        {"/driver/pinch", R"({"point": [60, 122], "scale": "2"})", 400, nullptr},
        {"/driver/pinch", R"({"point": [60, 122]})", 400, nullptr},
        {"/driver/pinch", R"({"scale": 2})", 400, nullptr},
        {"/driver/doubletap", R"({"point": [60, 122]})", 200, nullptr},
        {"/driver/doubletap", R"({"text": "Go"})", 200, nullptr},
        {"/driver/doubletap", R"({"id": "missing"})", 404, nullptr},
        {"/driver/doubletap", R"({"at": [1, 1]})", 400, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.body);
        Answer answer = post(c.path, c.body);
        EXPECT_EQ(answer.status, c.status);
        if (c.status == 200) {
            EXPECT_EQ(answer.body, (json{{"ok", true}, {"revision", display_->revision()}}));
        } else if (!c.expected.is_null()) {
            EXPECT_EQ(answer.body, c.expected);
        } else {
            EXPECT_EQ(answer.body["ok"], false);
            EXPECT_TRUE(answer.body["error"].is_string());
        }
    }
    EXPECT_EQ(screen_->taps, 3);
    // 1234 → 34 (12 selected and deleted) → 345 (caret 2) → 6345 (caret 0) → 634 (at the end).
    EXPECT_EQ(screen_->field->text(), "634");
}

TEST_F(WebDisplayTest, ScreenIsTheDumpAndTheRevisionGrowsWithChanges) {
    start();
    Answer first = get("/driver/screen");
    ASSERT_EQ(first.status, 200);
    EXPECT_NE(first.body["dump"].get<std::string>().find("UILabel#greeting 10,40,200,20 "
                                                         "text=\"Hello <you>\""),
              std::string::npos)
        << first.raw;
    long before = first.body["revision"];
    EXPECT_EQ(get("/driver/screen").body["revision"], before);
    EXPECT_EQ(post("/driver/tap", R"({"id": "go"})").body["revision"], before + 1);
    Answer after = get("/driver/screen");
    EXPECT_EQ(after.body["revision"], before + 1);
    EXPECT_NE(after.body["dump"].get<std::string>().find("text=\"Tapped 1\""), std::string::npos);
}

TEST_F(WebDisplayTest, ForeignHostsAndOriginsAndLargeBodiesAreRefused) {
    start();
    std::string own = "127.0.0.1:" + std::to_string(display_->port());
    EXPECT_EQ(get("/driver/screen", {{"Host", "evil.example:80"}}).status, 403);
    EXPECT_EQ(
        get("/driver/screen", {{"Host", "localhost:" + std::to_string(display_->port())}}).status,
        403);
    Answer foreignOrigin = call([&](httplib::Client& c) {
        return c.Post("/driver/tap", {{"Origin", "http://evil.example"}}, R"({"id": "go"})",
                      "application/json");
    });
    EXPECT_EQ(foreignOrigin.status, 403);
    EXPECT_EQ(screen_->taps, 0);
    Answer ownOrigin = call([&](httplib::Client& c) {
        return c.Post("/driver/tap", {{"Origin", "http://" + own}}, R"({"id": "go"})",
                      "application/json");
    });
    EXPECT_EQ(ownOrigin.status, 200);
    std::string big = R"({"text": ")" + std::string(70 * 1024, 'x') + "\"}";
    EXPECT_EQ(post("/driver/type", big).status, 413);
    EXPECT_EQ(display_->url(), "http://" + own + "/");
    EXPECT_THROW(WebDisplay(display_->port()), std::runtime_error);
}

TEST_F(WebDisplayTest, LongPollAnswersOnChange) {
    WebDisplayOptions slow;
    slow.pollTimeout = std::chrono::seconds(60);
    start(slow);
    long now = get("/driver/screen").body["revision"];
    // The poll waits (up to a minute) until the tap from another client changes the screen.
    Answer frame;
    std::thread poller([&] {
        httplib::Client c("127.0.0.1", display_->port());
        c.set_read_timeout(90);
        if (auto r = c.Get("/ui/frame?after=" + std::to_string(now))) {
            frame.status = r->status;
            frame.body = json::parse(r->body, nullptr, false);
        }
    });
    EXPECT_EQ(post("/driver/tap", R"({"id": "go"})").status, 200);
    // The frame's own work runs on the main queue.
    std::thread stopper([&] {
        poller.join();
        stopMainLoop();
    });
    runMainLoop();
    stopper.join();
    ASSERT_EQ(frame.status, 200);
    EXPECT_EQ(frame.body["revision"], now + 1);
    EXPECT_NE(frame.body["html"].get<std::string>().find("Tapped 1"), std::string::npos);
    EXPECT_EQ(frame.body["opened"], json::array());

    EXPECT_EQ(frame.body["instance"], display_->instance());
    EXPECT_EQ(get("/ui/frame?after=x").status, 400);
}

// Both ends of a poll on the display's (manual) clock: time-out, and a page of another run.
TEST_F(WebDisplayTest, APollTimesOutOnTheClockAndAPageOfAnotherRunIsAnsweredAtOnce) {
    WebDisplayOptions options;
    options.pollTimeout = std::chrono::seconds(2);
    start(options);
    long now = get("/driver/screen").body["revision"];
    std::string own = "127.0.0.1:" + std::to_string(display_->port());
    std::string timedOut, otherRun;
    bool waited = false;
    onClientThread([&] {
        testkit::RawSocket poll(display_->port());
        poll.send("GET /ui/frame?after=" + std::to_string(now) +
                  "&instance=" + display_->instance() + " HTTP/1.1\r\nHost: " + own + "\r\n\r\n");
        waited = waitFor([&] { return display_->pendingPolls() == 1; });
        // A page of an earlier run, far ahead in that run's revisions.
        testkit::RawSocket earlier(display_->port());
        earlier.send("GET /ui/frame?after=" + std::to_string(now + 50) +
                     "&instance=0123456789abcdef HTTP/1.1\r\nHost: " + own + "\r\n\r\n");
        otherRun = earlier.readUntilClosed(kWait);
        clock_.advance(1.9);
        EXPECT_EQ(display_->pendingPolls(), 1u);
        clock_.advance(0.1);
        timedOut = poll.readUntilClosed(kWait);
    });
    EXPECT_TRUE(waited);
    for (const auto& answer : {otherRun, timedOut}) {
        EXPECT_EQ(testkit::statusOf(answer), 200);
        json frame = json::parse(testkit::bodyOf(answer), nullptr, false);
        EXPECT_EQ(frame["revision"], now);
        EXPECT_EQ(frame["instance"], display_->instance());
    }
    EXPECT_EQ(display_->pendingPolls(), 0u);
    WebDisplay second(0);
    EXPECT_NE(second.instance(), display_->instance());
}

// Open tabs wait for frames and slow clients dribble their requests, yet a tap is served and
// every waiting tab gets the new frame.
TEST_F(WebDisplayTest, ATapIsServedWhileSixtyFourPollsWaitAndFortyClientsAreSlow) {
    start();
    long now = get("/driver/screen").body["revision"];
    std::string head = "HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(display_->port()) + "\r\n";
    std::vector<std::unique_ptr<testkit::RawSocket>> slow, polls;
    std::vector<std::string> frames;
    std::string tapped;
    bool waited = false;
    onClientThread([&] {
        for (int i = 0; i < 40; ++i) {
            slow.push_back(std::make_unique<testkit::RawSocket>(display_->port()));
            slow.back()->send(i % 2
                                  ? "POST /driver/tap " + head + "Content-Length: 13\r\n\r\n{\"id\""
                                  : "GET /driver/screen HTTP/1.1\r\nHo");
        }
        for (int i = 0; i < 64; ++i) {
            polls.push_back(std::make_unique<testkit::RawSocket>(display_->port()));
            polls.back()->send("GET /ui/frame?after=" + std::to_string(now) + " " + head + "\r\n");
        }
        waited = waitFor([&] { return display_->pendingPolls() == 64; });
        testkit::RawSocket tap(display_->port());
        tap.send("POST /driver/tap " + head + "Content-Length: 11\r\n\r\n{\"id\":\"go\"}");
        tapped = tap.readUntilClosed(kWait);
        for (auto& poll : polls)
            frames.push_back(poll->readUntilClosed(kWait));
    });
    ASSERT_TRUE(waited);
    EXPECT_EQ(testkit::statusOf(tapped), 200);
    EXPECT_EQ(json::parse(testkit::bodyOf(tapped), nullptr, false),
              (json{{"ok", true}, {"revision", now + 1}}));
    ASSERT_EQ(frames.size(), 64u);
    for (const auto& answer : frames) {
        json frame = json::parse(testkit::bodyOf(answer), nullptr, false);
        EXPECT_EQ(frame["revision"], now + 1);
        EXPECT_NE(frame["html"].get<std::string>().find("Tapped 1"), std::string::npos);
    }
    EXPECT_EQ(screen_->taps, 1);
    EXPECT_EQ(display_->pendingPolls(), 0u);
}

// A local client that fills every connection with polls for a revision that never comes, and
// sends each again as soon as it is answered, locks no page out: every request of the page is
// served, none refused or reset, while the oldest held poll gets the frame there is at once.
TEST_F(WebDisplayTest, HeldPollsFillingEveryConnectionLockNoPageOut) {
    start();
    const std::size_t table = loopback::Limits{}.maxConnections;
    long now = get("/driver/screen").body["revision"];
    std::string head = "HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(display_->port()) + "\r\n";
    const std::string future =
        "GET /ui/frame?after=" + std::to_string(now + 1000000) + " " + head + "\r\n";
    const std::string pageRequests[] = {
        "GET / " + head + "\r\n",
        "GET /driver/screen " + head + "\r\n",
        "GET /ui/frame?after=-1 " + head + "\r\n",
        "POST /driver/tap " + head + "Content-Length: 11\r\n\r\n{\"id\":\"go\"}",
    };
    std::deque<std::unique_ptr<testkit::RawSocket>> held;
    std::vector<std::string> pageAnswers, earlyAnswers;
    std::string oldest;
    bool filled = false;
    onClientThread([&] {
        for (std::size_t i = 0; i < table; ++i) {
            held.push_back(std::make_unique<testkit::RawSocket>(display_->port()));
            held.back()->send(future);
        }
        filled = waitFor([&] { return display_->pendingPolls() == table; });
        if (!filled) return;
        // Every connection waits for its answer: a new one makes the oldest poll take the
        // frame there is.
        {
            testkit::RawSocket page(display_->port());
            page.send(pageRequests[1]);
            pageAnswers.push_back(page.readUntilClosed(kWait));
            oldest = held.front()->readUntilClosed(kWait);
            held.front() = std::make_unique<testkit::RawSocket>(display_->port());
            held.front()->send(future);
        }
        for (int round = 0; round < 10; ++round) {
            for (const auto& request : pageRequests) {
                testkit::RawSocket page(display_->port());
                page.send(request);
                pageAnswers.push_back(page.readUntilClosed(kWait));
                // The polls answered meanwhile are sent again at once.
                for (auto& poll : held) {
                    if (!poll->readable(std::chrono::milliseconds(0))) continue;
                    earlyAnswers.push_back(poll->readUntilClosed(kWait));
                    poll = std::make_unique<testkit::RawSocket>(display_->port());
                    poll->send(future);
                }
            }
        }
    });
    ASSERT_TRUE(filled);
    ASSERT_EQ(pageAnswers.size(), 41u);
    EXPECT_EQ(testkit::statusOf(oldest), 200) << oldest;
    earlyAnswers.push_back(oldest);
    for (std::size_t i = 0; i < pageAnswers.size(); ++i)
        EXPECT_EQ(testkit::statusOf(pageAnswers[i]), 200) << i << ": " << pageAnswers[i];
    EXPECT_EQ(screen_->taps, 10);
    // A poll sent again may also be closed before its request is read, as the newest connection
    // that has not yet sent a whole request; the others got the frame there was.
    for (const auto& answer : earlyAnswers) {
        if (answer.empty()) continue;
        EXPECT_EQ(testkit::statusOf(answer), 200) << answer;
        json frame = json::parse(testkit::bodyOf(answer), nullptr, false);
        ASSERT_TRUE(frame.is_object()) << answer;
        EXPECT_EQ(frame["instance"], display_->instance()) << answer;
        EXPECT_TRUE(frame["revision"].is_number()) << answer;
    }
}

TEST_F(WebDisplayTest, APollWhoseClientLeftIsForgottenAndStoppingAnswersTheRest) {
    start();
    long now = get("/driver/screen").body["revision"];
    std::string request = "GET /ui/frame?after=" + std::to_string(now) +
                          " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(display_->port()) +
                          "\r\n\r\n";
    testkit::RawSocket stays(display_->port());
    bool waited = false, forgotten = false;
    onClientThread([&] {
        testkit::RawSocket leaves(display_->port());
        leaves.send(request);
        stays.send(request);
        waited = waitFor([&] { return display_->pendingPolls() == 2; });
        leaves.close();
        // The display looks again at every refresh, as after each request.
        forgotten = waitFor(
            [&] {
                getFromClient("/driver/screen");
                return display_->pendingPolls() == 1;
            },
            false);
    });
    EXPECT_TRUE(waited);
    EXPECT_TRUE(forgotten);
    display_.reset();
    std::string answer = stays.readUntilClosed(kWait);
    EXPECT_EQ(testkit::statusOf(answer), 503);
    EXPECT_EQ(testkit::bodyOf(answer), R"({"error":"shutting down","ok":false})");
}

TEST_F(WebDisplayTest, PageAndKatexAndImagesAreServedWithoutEscapingTheirFolders) {
    auto images = home_.path() / "images";
    std::filesystem::create_directories(images);
    std::ofstream(images / "logo.svg") << "<svg/>";
    WebDisplayOptions options;
    options.imageDirectory = images;
    options.katexDirectory = home_.path() / "katex";
    std::filesystem::create_directories(options.katexDirectory);
    std::ofstream(options.katexDirectory / "katex.min.js") << "var katex;";
    start(options);
    Answer page = get("/");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.raw.find("/ui/frame?after="), std::string::npos);
    EXPECT_EQ(get("/katex/katex.min.js").raw, "var katex;");
    EXPECT_EQ(get("/images/logo.svg").raw, "<svg/>");
    EXPECT_EQ(get("/images/../katex/katex.min.js").status, 404);
    EXPECT_EQ(get("/images/%2e%2e/katex/katex.min.js").status, 404);
    EXPECT_EQ(get("/katex/missing.js").status, 404);
    // The browser's own request for an icon is no error.
    Answer icon = get("/favicon.ico");
    EXPECT_EQ(icon.status, 204);
    EXPECT_EQ(icon.raw, "");
}

TEST_F(WebDisplayTest, SharedImagesBecomePngFilesLinkedInTheFrame) {
    start();
    auto image = UIGraphicsImageRenderer({20, 10}).image([](CGContext& ctx) {
        ctx.fill({0, 0, 20, 10}, UIColor(0, 1, 0, 1));
        ctx.drawLatex("\\frac{1}{2}", {0, 0, 20, 10}, UIColor(0, 0, 0, 1));
    });
    auto sheet = std::make_shared<UIActivityViewController>(
        std::vector<UIActivityItem>{{std::string("text"), nullptr}, {std::nullopt, image}});
    sheet->perform(std::string(UIActivityTypeSaveToCameraRoll));
    auto file = cachesDirectory() / "Shared" / "share-1.png";
    std::ifstream in(file, std::ios::binary);
    std::string png((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(png, sharedImagePng(*image, {{}, WebDisplayOptions{}.katexDirectory / "fonts"}));
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    Answer frame = get("/ui/frame");
    EXPECT_EQ(frame.body["shared"], json::array({"/shared/share-1.png"}));
    EXPECT_EQ(get("/shared/share-1.png").raw, png);

    // A later display (another run) keeps what is there and numbers on.
    display_.reset();
    start();
    sheet->perform(std::string(UIActivityTypeSaveToCameraRoll));
    EXPECT_TRUE(std::filesystem::exists(cachesDirectory() / "Shared" / "share-2.png"));
    EXPECT_EQ(get("/ui/frame").body["shared"], json::array({"/shared/share-2.png"}));
}

TEST(SvgOf, LineJoinsAndTurnsFollowTheDrawing) {
    const auto line = [](CALineJoin join, bool filled) {
        DisplayItem item{DisplayItem::Kind::path, {10, 0, 10, 10}, {1, 0, 0, 1}, 5, {}, {}, {}};
        item.points = {{10, 10}, {20, 0}};
        item.lineJoin = join;
        if (filled) item.fill = RGBA{0, 0, 1, 1}, item.color = {};
        return item;
    };
    DisplayItem turned = line(CALineJoin::bevel, false);
    turned.rotation = std::numbers::pi / 2;
    turned.pivot = {15, 5};
    const std::pair<DisplayItem, std::string> cases[] = {
        {line(CALineJoin::bevel, false),
         "<polyline points=\"0,10 10,0\" fill=\"none\" stroke=\"rgba(255,0,0,1)\" "
         "stroke-width=\"5\" stroke-linejoin=\"bevel\"/>"},
        // No stroke, so no join.
        {line(CALineJoin::bevel, true), "<polygon points=\"0,10 10,0\" fill=\"rgba(0,0,255,1)\"/>"},
        // Turned about its pivot, which moves with the origin like the points.
        {turned,
         "<polyline points=\"0,10 10,0\" fill=\"none\" stroke=\"rgba(255,0,0,1)\" "
         "stroke-width=\"5\" stroke-linejoin=\"bevel\" transform=\"rotate(90 5 5)\"/>"},
    };
    for (const auto& [item, expected] : cases) {
        const std::string svg = svgOf({item}, {20, 20}, {10, 0});
        EXPECT_NE(svg.find(expected), std::string::npos) << svg;
    }
}

TEST_F(WebDisplayTest, HtmlShowsVisibleViewsWithTheirLook) {
    HtmlRenderOptions options;
    std::string html = renderHtml(*window_, options);
    // A label: its box, centred text in a sans-serif heavy font, escaped.
    EXPECT_NE(html.find("<div data-type=\"UILabel\" data-id=\"greeting\" "
                        "style=\"position:absolute;left:10px;top:40px;width:200px;height:20px;\">"
                        "<div class=\"text\" style=\"position:absolute;left:0px;top:0px;"
                        "width:200px;height:20px;color:rgba(0,0,0,1);font:700 20px sans-serif;"
                        "text-align:center;white-space:pre;line-height:20px;\">Hello &lt;you&gt;"
                        "</div></div>"),
              std::string::npos)
        << html;
    EXPECT_EQ(html.find("secret"), std::string::npos);
    EXPECT_NE(html.find("<span class=\"tex\" data-tex=\"\\frac{a}{b}&lt;&quot;c&quot;&amp;d\""),
              std::string::npos);
    EXPECT_NE(html.find("<svg class=\"drawn\" width=\"10\" height=\"10\" "
                        "style=\"position:absolute;left:0;top:0;overflow:visible\">"
                        "<polyline points=\"0,10 5,0 10,10 0,10\" fill=\"none\" "
                        "stroke=\"rgba(255,0,0,1)\" stroke-width=\"2\"/></svg>"),
              std::string::npos);
    EXPECT_NE(html.find("data-type=\"UIView\" style=\"position:absolute;left:0px;top:200px;"
                        "width:100px;height:44px;background:rgba(0,0,255,0.5);\""),
              std::string::npos);
}

// Each text is set as the view that drew it sets it, the formula at its label's size; a view
// that scrolls cuts off what lies outside it.
TEST(HtmlRenderTest, TextsFollowTheStyleTheirViewsDrewThemIn) {
    auto root = std::make_shared<UIView>(CGRect{0, 0, 300, 300});
    auto button = UIButton::systemButton("Go");
    button->setFrame({0, 0, 100, 40});
    button->titleFont = {"Menlo-Bold", 12};
    auto wrapping = std::make_shared<UILabel>(CGRect{0, 50, 100, 40});
    wrapping->setText("two lines");
    wrapping->numberOfLines = 0;
    wrapping->textAlignment = NSTextAlignment::right;
    auto field = std::make_shared<UITextField>(CGRect{0, 100, 100, 40});
    field->setText("7");
    field->font = {"Avenir-Light", 13};
    auto scroll = std::make_shared<UIScrollView>(CGRect{0, 150, 100, 40});
    auto formula = std::make_shared<MTMathUILabel>(CGRect{0, 0, 100, 40});
    formula->setLatex("x^2");
    formula->fontSize = 14;
    scroll->addSubview(formula);
    for (const auto& v : {std::shared_ptr<UIView>(button), std::shared_ptr<UIView>(wrapping),
                          std::shared_ptr<UIView>(field), std::shared_ptr<UIView>(scroll)})
        root->addSubview(v);
    const std::string html = renderHtml(*root);
    const char* expected[] = {
        "font:700 12px monospace;text-align:center;white-space:pre;line-height:40px;\">Go<",
        "font:400 17px system-ui,sans-serif;text-align:right;white-space:pre-wrap;"
        "overflow-wrap:anywhere;\">two lines<",
        "font:300 13px sans-serif;text-align:left;white-space:pre;line-height:40px;\">7<",
        "<div data-type=\"UIScrollView\" style=\"position:absolute;left:0px;top:150px;"
        "width:100px;height:40px;overflow:hidden;\">",
        "<span class=\"tex\" data-tex=\"x^2\" style=\"position:absolute;left:0px;top:0px;"
        "width:100px;height:40px;color:rgba(0,0,0,1);font-size:14px\">x^2</span>",
    };
    for (const char* part : expected)
        EXPECT_NE(html.find(part), std::string::npos) << part << "\n" << html;
}

}  // namespace
}  // namespace platform

namespace platform {
namespace {

// The caret of the focused field is an element of its own, the page keeps it in view, and a
// selection a marked span at whose end the caret stands; texts around them are escaped; other
// fields show their plain text.
TEST_F(WebDisplayTest, AFocusedFieldMarksItsCaretAndSelection) {
    const auto& field = screen_->field;
    struct Case {
        const char* name;
        const char* text;
        std::optional<std::size_t> caret;  // absent: not focused
        const char* content;
        int extend = 0;  // characters selected with Shift from the caret, leftwards when below 0
    };
    const Case cases[] = {
        {"not focused", "a&b", std::nullopt, ">a&amp;b</div>"},
        {"in the middle", "a&b", 1,
         "line-height:40px;text-overflow:clip;\">a<span class=\"caret\">\u2502</span>&amp;b</div>"},
        {"at the end", "12\u03c0", 3, ">12\u03c0<span class=\"caret\">\u2502</span></div>"},
        {"empty", "", 0, "><span class=\"caret\">\u2502</span></div>"},
        {"selected rightwards", "a&b", 1,
         ">a<span class=\"selection\">&amp;b</span><span class=\"caret\">\u2502</span></div>", 2},
        {"selected leftwards", "1\u03c03", 3,
         ">1<span class=\"caret\">\u2502</span><span class=\"selection\">\u03c03</span></div>", -2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        field->resignFirstResponder();
        field->setText(c.text);
        if (c.caret) {
            ASSERT_TRUE(field->becomeFirstResponder());
            field->setSelectedTextRange({*c.caret, *c.caret});
            for (int i = 0; i < std::abs(c.extend); ++i)
                field->moveCaret(c.extend < 0 ? UITextCaretMove::left : UITextCaretMove::right,
                                 true);
        }
        const std::string html = renderHtml(*window_);
        const auto at = html.find("data-id=\"field\"");
        ASSERT_NE(at, std::string::npos) << html;
        const std::string own = html.substr(at, html.find("</div></div>", at) - at + 6);
        EXPECT_NE(own.find(c.content), std::string::npos) << own;
        EXPECT_EQ(own.find("caret") != std::string::npos, c.caret.has_value()) << own;
        EXPECT_EQ(own.find("selection") != std::string::npos, c.extend != 0) << own;
    }
}

// A scroll view whose content is wider than itself shows a bar along its foot, as long and as
// far along as the part in view.
TEST(HtmlRenderTest, AWideScrollViewShowsItsIndicator) {
    struct Case {
        const char* name;
        double contentWidth, offset;
        bool shows;
        const char* bar;  // empty: none
    };
    const Case cases[] = {
        {"content fits", 100, 0, true, ""},
        {"a quarter in view, at the start", 400, 0, true,
         "left:2px;top:35px;width:24px;height:3px;"},
        {"a quarter in view, at the end", 400, 300, true,
         "left:74px;top:35px;width:24px;height:3px;"},
        {"half in view, half way", 200, 50, true, "left:26px;top:35px;width:48px;height:3px;"},
        {"a tenth in view: the shortest bar", 1000, 0, true,
         "left:2px;top:35px;width:24px;height:3px;"},
        {"switched off", 400, 0, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto scroll = std::make_shared<UIScrollView>(CGRect{0, 0, 100, 40});
        scroll->setContentSize({c.contentWidth, 40});
        scroll->setContentOffset({c.offset, 0});
        scroll->showsHorizontalScrollIndicator = c.shows;
        const std::string html = renderHtml(*scroll);
        const std::string bar = *c.bar ? std::string("<div class=\"scroll-indicator\" style=\"") +
                                             c.bar + "\"></div></div>"
                                       : "";
        if (bar.empty())
            EXPECT_EQ(html.find("scroll-indicator"), std::string::npos) << html;
        else
            EXPECT_TRUE(html.ends_with(bar)) << html;
    }
}

}  // namespace
}  // namespace platform
