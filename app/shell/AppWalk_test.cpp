// A seeded random walk over the whole app, as a user who touches whatever is there: from a fresh
// data root, each step picks one of the visible, enabled controls that a touch reaches (buttons,
// keys, segments, rows, menu rows, alert buttons, the drawer's backdrop) and taps it, types into
// the focused field, drags or swipes a row or a list, or lets a few seconds of the clock pass.
// After each step the screen dump must be well formed. Each seed walks in a child process, so
// that a crash is reported with its seed and the step that caused it instead of ending the test
// program.
//
// TESSALINE_WALK_STEPS sets the steps per seed (default 2000). A seed that once failed is added to
// kKeptSeeds, so that it is walked again by every run.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/services/ServicesTestSupport.h"
#include "app/shell/AppDelegate.h"
#include "platform/ui/ScreenDump.h"
#include "platform/ui/UIControl.h"
#include "platform/ui/UITableView.h"
#include "platform/ui/UITextField.h"
#include "testkit/ChildProcess.h"

namespace app {
namespace {

using platform::CGPoint;
using platform::CGRect;

// Set only in a child: the seed to walk, its number of steps, and whether to plant a crash.
constexpr char kSeedVariable[] = "TESSALINE_WALK_SEED";
constexpr char kStepsVariable[] = "TESSALINE_WALK_STEPS";
constexpr char kPlantVariable[] = "TESSALINE_WALK_PLANT";
constexpr char kDone[] = "done";
constexpr char kPlantedId[] = "plantedCrash";
constexpr int kDefaultSteps = 2000;

// Seeds that once found a fault, walked by every run with their number of steps.
constexpr struct {
    unsigned seed;
    int steps;
} kKeptSeeds[] = {{0, 0}};

int environmentNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}

// ---- The walk, in the child ---------------------------------------------------------------------

// One thing a user can do now.
struct Action {
    enum class Kind { tap, drag, type, backspace, wait };
    Kind kind = Kind::tap;
    CGPoint from, to;
    std::string text;         // the typed character
    std::string description;  // for the report
};

std::string describe(const platform::UIView& view) {
    std::string text = view.className();
    if (!view.accessibilityIdentifier.empty()) text += "#" + view.accessibilityIdentifier;
    platform::ViewDescription d;
    view.describe(d);
    if (d.text && !d.text->empty()) text += " \"" + *d.text + "\"";
    return text;
}

std::string pointText(CGPoint p) {
    return platform::formatNumber(p.x) + "," + platform::formatNumber(p.y);
}

class Walker {
  public:
    Walker(unsigned seed, platform::UIWindow& window) : random_(seed), window_(window) {}

    // The actions the screen offers now: every control, segment, row and gesture view that a
    // touch at its centre reaches, and typing when a field has the focus.
    std::vector<Action> actions() {
        std::vector<Action> found;
        collect(window_.shared<platform::UIView>(), found);
        if (platform::UIResponder::currentFirstResponder()) {
            // Keys of the computer's keyboard, which the page passes on: one of them per step.
            static const char* kKeys[] = {"1", "2", "7", "0", ".", "/", "-", "e", "π", "x"};
            std::uniform_int_distribution<std::size_t> key(0, std::size(kKeys) - 1);
            const char* typed = kKeys[key(random_)];
            found.push_back({Action::Kind::type, {}, {}, typed, std::string("type ") + typed});
            found.push_back({Action::Kind::backspace, {}, {}, "", "Backspace"});
        }
        found.push_back({Action::Kind::wait, {}, {}, "", "wait"});
        return found;
    }

    const Action& pick(const std::vector<Action>& actions) {
        std::uniform_int_distribution<std::size_t> index(0, actions.size() - 1);
        return actions[index(random_)];
    }

    double pause() { return std::uniform_real_distribution<double>(0.5, 5)(random_); }

  private:
    // Where a touch at the centre of the visible part of `view` lands on `view` itself (or in
    // it), nothing when it is covered or off screen.
    std::optional<CGPoint> reachablePoint(const platform::UIView& view, CGRect local) {
        CGRect r = view.convert(local, nullptr);
        const CGRect screen = window_.bounds();
        const double x0 = std::max(r.minX(), screen.minX()), y0 = std::max(r.minY(), screen.minY());
        const double x1 = std::min(r.maxX(), screen.maxX()), y1 = std::min(r.maxY(), screen.maxY());
        if (x1 - x0 < 1 || y1 - y0 < 1) return std::nullopt;
        const CGPoint p{(x0 + x1) / 2, (y0 + y1) / 2};
        const auto hit = window_.hitTest(p);
        if (!hit || !(hit.get() == &view || hit->isDescendant(&view))) return std::nullopt;
        return p;
    }

    void add(std::vector<Action>& found, const platform::UIView& view, CGRect local,
             const std::string& what) {
        if (const auto p = reachablePoint(view, local))
            found.push_back({Action::Kind::tap, *p, *p, "", "tap " + what});
    }

    void addDrags(std::vector<Action>& found, const platform::UIView& view) {
        const auto p = reachablePoint(view, view.bounds());
        if (!p) return;
        const std::pair<CGPoint, const char*> moves[] = {
            {{-120, 0}, "left"}, {{120, 0}, "right"}, {{0, -200}, "up"}, {{0, 200}, "down"}};
        for (const auto& [by, name] : moves) {
            found.push_back({Action::Kind::drag,
                             *p,
                             {p->x + by.x, p->y + by.y},
                             "",
                             std::string("drag ") + name + " " + describe(view)});
        }
    }

    void collect(const std::shared_ptr<platform::UIView>& view, std::vector<Action>& found) {
        if (view->isHidden() || view->alpha() < 0.01 || !view->isUserInteractionEnabled) return;
        const std::string what = describe(*view);
        if (const auto segments = std::dynamic_pointer_cast<platform::UISegmentedControl>(view)) {
            for (int i = 0; i < segments->numberOfSegments(); ++i)
                add(found, *view, segments->segmentFrame(i),
                    what + " segment " + std::to_string(i));
        } else if (const auto control = std::dynamic_pointer_cast<platform::UIControl>(view)) {
            if (control->isEnabled()) add(found, *view, view->bounds(), what);
        } else if (std::dynamic_pointer_cast<platform::UITableViewCell>(view)) {
            add(found, *view, view->bounds(), what);
            addDrags(found, *view);
        } else if (std::dynamic_pointer_cast<platform::UIScrollView>(view)) {
            addDrags(found, *view);
        } else if (!view->gestureRecognizers().empty()) {
            add(found, *view, view->bounds(), what);
        }
        for (const auto& sub : view->subviews())
            collect(sub, found);
    }

    std::mt19937 random_;
    platform::UIWindow& window_;
};

// "Type[#id] x,y,w,h" and attributes, indented two spaces a level, a level at most one deeper
// than the line before, every quote closed.
std::optional<std::string> malformedLine(const std::string& dump) {
    static const std::regex kLine(
        R"(( *)[A-Za-z_][A-Za-z0-9_]*(#[^ ]+)? -?[0-9.e+-]+,-?[0-9.e+-]+,-?[0-9.e+-]+,-?[0-9.e+-]+(| .*))");
    if (dump.empty()) return std::string("an empty dump");
    std::istringstream lines(dump);
    std::string line;
    std::size_t previous = 0;
    bool first = true;
    while (std::getline(lines, line)) {
        std::smatch match;
        if (!std::regex_match(line, match, kLine)) return line;
        const std::size_t indent = match[1].length();
        if (indent % 2 != 0 || (first && indent != 0) || (!first && indent > previous + 2))
            return line;
        std::size_t quotes = 0;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '\\') {
                ++i;
            } else if (line[i] == '"') {
                ++quotes;
            }
        }
        if (quotes % 2 != 0) return line;
        previous = indent;
        first = false;
    }
    return std::nullopt;
}

class AppWalkChild : public testing::ServicesTest {};

// Runs only when AppWalkTest starts it: walks one seed and reports each step.
TEST_F(AppWalkChild, Walk) {
    const char* seedText = std::getenv(kSeedVariable);
    if (!seedText) GTEST_SKIP() << "started by AppWalkTest";
    const auto seed = static_cast<unsigned>(std::strtoul(seedText, nullptr, 10));
    const int steps = environmentNumber(kStepsVariable, kDefaultSteps);
    // No remote configuration and no connectivity address: both fail at once, so that a seed
    // walks the same way every time.
    useBundle({{"TESSALINE_REMOTE_CONFIG_URL", ""}, {"TESSALINE_CONNECTIVITY_URL", ""}});
    auto delegate = std::make_shared<AppDelegate>();
    platform::UIApplication::shared().launch(delegate);
    platform::runUntilIdle();
    auto& window = *delegate->window;
    if (std::getenv(kPlantVariable)) {
        // A button that crashes, in a corner of the window: the walk must find it.
        auto planted = std::make_shared<platform::UIButton>(CGRect{250, 800, 120, 30});
        planted->setTitle("Crash");
        planted->accessibilityIdentifier = kPlantedId;
        planted->addTarget(platform::UIControlEvents::touchUpInside,
                           [](platform::UIControl&) { std::abort(); });
        window.addSubview(planted);
    }
    Walker walker(seed, window);
    for (int step = 1; step <= steps; ++step) {
        const auto actions = walker.actions();
        const Action action = walker.pick(actions);
        testkit::ChildProcess::report(std::to_string(step) + " " + action.description + " at " +
                                      pointText(action.from));
        switch (action.kind) {
            case Action::Kind::tap:
                driver_.tapAt(action.from);
                break;
            case Action::Kind::drag:
                driver_.drag(action.from, action.to);
                break;
            case Action::Kind::type:
                driver_.type(action.text);
                break;
            case Action::Kind::backspace:
                driver_.pressKey("Backspace");
                break;
            case Action::Kind::wait:
                clock_.advance(walker.pause());
                platform::runUntilIdle();
                break;
        }
        if (const auto bad = malformedLine(driver_.screen())) {
            testkit::ChildProcess::report("malformed dump after step " + std::to_string(step) +
                                          ": " + *bad);
            FAIL();
        }
    }
    testkit::ChildProcess::report(kDone);
}

// ---- The walks, in the test program -------------------------------------------------------------

struct WalkResult {
    bool finished = false;  // the child reported the end of its walk and exited with 0
    std::string last;       // the last line it reported
    int exitCode = 0;
};

class AppWalkTest : public ::testing::Test {
  protected:
    static std::unique_ptr<testkit::ChildProcess> start(unsigned seed, int steps, bool plant) {
        std::vector<std::pair<std::string, std::string>> environment = {
            {kSeedVariable, std::to_string(seed)}, {kStepsVariable, std::to_string(steps)}};
        if (plant) environment.emplace_back(kPlantVariable, "1");
        return std::make_unique<testkit::ChildProcess>("AppWalkChild.Walk", environment);
    }
    static WalkResult finish(testkit::ChildProcess& child) {
        WalkResult result;
        while (const auto line = child.readLine(std::chrono::minutes(5)))
            result.last = *line;
        result.exitCode = child.wait();
        result.finished = result.last == kDone && result.exitCode == 0;
        return result;
    }
    // Walks the seeds side by side; a failure names the seed, how to walk it again and the
    // step that went wrong.
    static void walkClean(const std::vector<std::pair<unsigned, int>>& seeds) {
        std::vector<std::unique_ptr<testkit::ChildProcess>> children;
        for (const auto& [seed, steps] : seeds) {
            children.push_back(start(seed, steps, false));
            ASSERT_TRUE(children.back()->isRunning());
        }
        for (std::size_t i = 0; i < seeds.size(); ++i) {
            const auto result = finish(*children[i]);
            EXPECT_TRUE(result.finished)
                << "the walk of seed " << seeds[i].first << " failed (exit " << result.exitCode
                << ") after step: " << result.last << "\n  walk it again with " << kSeedVariable
                << "=" << seeds[i].first << " " << kStepsVariable << "=" << seeds[i].second
                << "; keep it in kKeptSeeds once mended";
        }
    }
};

TEST_F(AppWalkTest, ThreeSeedsWalkCleanly) {
    const int steps = environmentNumber(kStepsVariable, kDefaultSteps);
    walkClean({{1, steps}, {2, steps}, {3, steps}});
}

TEST_F(AppWalkTest, KeptSeedsWalkCleanly) {
    std::vector<std::pair<unsigned, int>> seeds;
    for (const auto& kept : kKeptSeeds) {
        if (kept.steps > 0) seeds.emplace_back(kept.seed, kept.steps);
    }
    walkClean(seeds);
}

// The walk finds a crash planted behind a button, and says where.
TEST_F(AppWalkTest, FindsAPlantedCrash) {
    auto child = start(1, kDefaultSteps, true);
    ASSERT_TRUE(child->isRunning());
    const auto result = finish(*child);
    EXPECT_FALSE(result.finished);
    EXPECT_NE(result.exitCode, 0);
    EXPECT_NE(result.last.find(std::string("tap UIButton#") + kPlantedId), std::string::npos)
        << result.last;
}

// The well-formedness check itself: what it must refuse.
TEST(DumpCheck, RefusesBrokenLines) {
    EXPECT_FALSE(malformedLine("UIWindow 0,0,390,844\n  UILabel#a 1,2,3,4 text=\"x \\\"y\\\"\"\n"));
    const char* broken[] = {
        "",
        "  UIWindow 0,0,390,844\n",                            // the root is indented
        "UIWindow 0,0,390,844\n    UILabel 1,2,3,4\n",         // a level skipped
        "UIWindow 0,0,390\n",                                  // three numbers
        "UIWindow 0,0,390,844\n  UILabel 1,2,3,4 text=\"x\n",  // an open quote
        "UIWindow 0,0,390,844\n UILabel 1,2,3,4\n",            // an odd indent
    };
    for (const char* dump : broken)
        EXPECT_TRUE(malformedLine(dump)) << dump;
}

}  // namespace
}  // namespace app
