#include "platform/ui/UIDriver.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "platform/ui/ScreenDump.h"
#include "platform/ui/UIControl.h"
#include "platform/ui/UIScrollView.h"
#include "platform/ui/UITestSupport.h"
#include "platform/ui/UITextField.h"

namespace platform {
namespace {

class Form : public UIViewController, public UITextFieldDelegate {
  public:
    std::shared_ptr<UITextField> field = std::make_shared<UITextField>(CGRect{10, 100, 200, 40});
    std::shared_ptr<UIButton> button = UIButton::systemButton("Go");
    std::shared_ptr<UISegmentedControl> modes =
        std::make_shared<UISegmentedControl>(CGRect{0, 200, 300, 30});
    int taps = 0;
    int modeChanges = 0;
    bool allowEditing = true;
    bool textFieldShouldBeginEditing(UITextField&) override { return allowEditing; }
    void viewDidLoad() override {
        field->accessibilityIdentifier = "field";
        field->setText("1π3");
        field->delegate = std::dynamic_pointer_cast<UITextFieldDelegate>(shared<Form>());
        button->setFrame({10, 300, 100, 44});
        button->addTarget(UIControlEvents::touchUpInside, [this](UIControl&) { ++taps; });
        for (int i = 0; i < 3; ++i)
            modes->insertSegment("m" + std::to_string(i), i);
        modes->addTarget(UIControlEvents::valueChanged, [this](UIControl&) { ++modeChanges; });
        view()->addSubview(field);
        view()->addSubview(button);
        view()->addSubview(modes);
    }
};

class DriverTest : public testing::UITest {
  protected:
    DriverTest() { show(form_); }
    std::shared_ptr<Form> form_ = std::make_shared<Form>();
    UIDriver driver_;
};

TEST_F(DriverTest, TypingAndBackspaceWorkInCodePointsAroundPi) {
    EXPECT_EQ(driver_.type("x"),
              (DriverResult{DriverResult::Status::notFound, "no focused text field"}));
    form_->allowEditing = false;
    EXPECT_TRUE(driver_.tap(ViewQuery::byId("field")).ok());
    EXPECT_FALSE(form_->field->isFirstResponder());
    form_->allowEditing = true;
    EXPECT_TRUE(driver_.tap(ViewQuery::byId("field")).ok());
    EXPECT_EQ(form_->field->selectedTextRange(), (UITextRange{3, 3}));
    struct Step {
        UITextRange selection;
        const char* key;  // typed text, or "Backspace"
        const char* text;
        std::size_t caret;
    };
    const Step steps[] = {
        {{2, 2}, "Backspace", "13", 1},  // deletes π, two bytes, one character
        {{1, 1}, "π", "1π3", 2},        {{0, 0}, "Backspace", "1π3", 0},
        {{1, 3}, "Backspace", "1", 1},  {{0, 1}, "e", "e", 1},
        {{1, 1}, "/π", "e/π", 3},
    };
    for (const auto& s : steps) {
        form_->field->setSelectedTextRange(s.selection);
        DriverResult r =
            std::string(s.key) == "Backspace" ? driver_.pressKey("Backspace") : driver_.type(s.key);
        EXPECT_TRUE(r.ok());
        EXPECT_EQ(form_->field->text(), s.text);
        EXPECT_EQ(form_->field->selectedTextRange(), (UITextRange{s.caret, s.caret})) << s.text;
    }
    EXPECT_EQ(driver_.pressKey("F1").status, DriverResult::Status::notFound);
}

// The caret keys in "1π34": a character at a time (π is one), to the ends, a selection's edge
// first without Shift; with Shift the caret's end moves and the anchor stays.
TEST_F(DriverTest, CaretKeysMoveTheCaretAndWithShiftSelect) {
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("field")).ok());
    struct Case {
        const char* name;
        UITextRange start;
        std::vector<const char*> keys;  // "+" before a key: with Shift
        UITextRange selection;
        std::size_t caret;
    };
    const Case cases[] = {
        {"Left at the start", {0, 0}, {"ArrowLeft"}, {0, 0}, 0},
        {"Right at the end", {4, 4}, {"ArrowRight"}, {4, 4}, 4},
        {"Left over π", {2, 2}, {"ArrowLeft"}, {1, 1}, 1},
        {"Right over π", {1, 1}, {"ArrowRight"}, {2, 2}, 2},
        {"Home", {2, 2}, {"Home"}, {0, 0}, 0},
        {"End", {2, 2}, {"End"}, {4, 4}, 4},
        {"Shift+Left selects leftwards", {2, 2}, {"+ArrowLeft"}, {1, 2}, 1},
        {"Shift+Left stops at the start", {1, 1}, {"+ArrowLeft", "+ArrowLeft"}, {0, 1}, 0},
        {"Shift+Right stops at the end", {3, 3}, {"+ArrowRight", "+ArrowRight"}, {3, 4}, 4},
        {"Shift+Right shrinks a leftward selection",
         {3, 3},
         {"+ArrowLeft", "+ArrowLeft", "+ArrowRight"},
         {2, 3},
         2},
        {"and passes its anchor", {3, 3}, {"+ArrowLeft", "+ArrowRight", "+ArrowRight"}, {3, 4}, 4},
        {"Shift+Left shrinks a rightward selection", {0, 2}, {"+ArrowLeft"}, {0, 1}, 1},
        {"Shift+Home from the end selects all", {4, 4}, {"+Home"}, {0, 4}, 0},
        {"Shift+End after Shift+Home keeps the anchor", {2, 2}, {"+Home", "+End"}, {2, 4}, 4},
        {"Shift+Left at the start selects nothing", {0, 0}, {"+ArrowLeft"}, {0, 0}, 0},
        {"Left ends a selection at its start", {1, 3}, {"ArrowLeft"}, {1, 1}, 1},
        {"Right ends a leftward one at its end", {3, 3}, {"+Home", "ArrowRight"}, {3, 3}, 3},
        {"Home ends a selection at the start", {1, 3}, {"Home"}, {0, 0}, 0},
        {"End ends it at the end", {1, 3}, {"End"}, {4, 4}, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        form_->field->setText("1π34");
        form_->field->setSelectedTextRange(c.start);
        for (const std::string key : c.keys) {
            const bool shift = key.front() == '+';
            EXPECT_TRUE(driver_.pressKey(shift ? key.substr(1) : key, shift).ok());
        }
        EXPECT_EQ(form_->field->selectedTextRange(), c.selection);
        EXPECT_EQ(form_->field->caretOffset(), c.caret);
        EXPECT_EQ(form_->field->text(), "1π34");
    }
}

TEST_F(DriverTest, DeleteRemovesTheCharacterAfterTheCaretOrTheSelection) {
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("field")).ok());
    struct Case {
        UITextRange start;
        const char* text;
        std::size_t caret;
    };
    const Case cases[] = {
        {{0, 0}, "π34", 0}, {{1, 1}, "134", 1}, {{4, 4}, "1π34", 4},
        {{1, 3}, "14", 1},  {{0, 4}, "", 0},
    };
    for (const auto& c : cases) {
        form_->field->setText("1π34");
        form_->field->setSelectedTextRange(c.start);
        EXPECT_TRUE(driver_.pressKey("Delete").ok());
        EXPECT_EQ(form_->field->text(), c.text);
        EXPECT_EQ(form_->field->selectedTextRange(), (UITextRange{c.caret, c.caret})) << c.text;
    }
}

// A tap given a character offset puts the caret there in the field it focuses or that has the
// focus; elsewhere the offset changes nothing.
TEST_F(DriverTest, ATapCanPlaceTheCaretAtACharacterOffset) {
    struct Step {
        const char* name;
        std::optional<CGPoint> point;  // absent: the field by its identifier
        std::size_t caret;
        UITextRange selection;
    };
    const Step steps[] = {
        {"focusing the field", std::nullopt, 1, {1, 1}},
        {"in the focused field, past its end", CGPoint{20, 120}, 99, {3, 3}},
        {"at the start", CGPoint{20, 120}, 0, {0, 0}},
    };
    for (const auto& step : steps) {
        const auto result = step.point ? driver_.tapAt(*step.point, step.caret)
                                       : driver_.tap(ViewQuery::byId("field"), step.caret);
        EXPECT_TRUE(result.ok()) << step.name;
        EXPECT_EQ(form_->field->selectedTextRange(), step.selection) << step.name;
    }
    EXPECT_TRUE(driver_.tap(ViewQuery::byText("Go"), 2).ok());
    EXPECT_EQ(form_->taps, 1);
    EXPECT_EQ(form_->field->selectedTextRange(), (UITextRange{0, 0}));
    EXPECT_EQ(form_->field->text(), "1π3");
}

TEST_F(DriverTest, TheDelegateCanRefuseAnEditAndEditingEventsReachTargets) {
    class Refuse : public UITextFieldDelegate {
      public:
        bool shouldChangeCharacters(UITextField&, UITextRange range,
                                    const std::string& s) override {
            return !(s == "x" || (s.empty() && range.start == 0));
        }
    };
    auto refuse = std::make_shared<Refuse>();
    std::vector<std::string> events;
    form_->field->addTarget(
        UIControlEvents::editingDidBegin | UIControlEvents::editingChanged |
            UIControlEvents::editingDidEnd,
        [&](UIControl& c) { events.push_back(static_cast<UITextField&>(c).text()); });
    form_->field->delegate = refuse;
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("field")).ok());
    EXPECT_TRUE(driver_.type("x").ok());
    EXPECT_TRUE(driver_.type("4").ok());
    form_->field->setSelectedTextRange({0, 0});
    EXPECT_TRUE(driver_.pressKey("Backspace").ok());  // nothing before the caret
    form_->field->setSelectedTextRange({0, 1});
    EXPECT_TRUE(driver_.pressKey("Backspace").ok());  // refused by the delegate
    form_->field->resignFirstResponder();
    EXPECT_EQ(events, (std::vector<std::string>{"1π3", "1π34", "1π34"}));
}

TEST_F(DriverTest, TapsReachControlsUnlessCoveredOrDisabled) {
    EXPECT_TRUE(driver_.tap(ViewQuery::byText("Go")).ok());
    EXPECT_TRUE(driver_.tap(ViewQuery::byText("m2")).ok());  // the segment's label
    EXPECT_TRUE(driver_.tap(ViewQuery::byId("").segment(1)).ok());
    EXPECT_EQ(form_->modes->selectedSegmentIndex(), 1);
    EXPECT_EQ(form_->modeChanges, 2);
    EXPECT_EQ(form_->taps, 1);

    form_->button->setEnabled(false);
    EXPECT_EQ(driver_.tap(ViewQuery::byText("Go")),
              (DriverResult{DriverResult::Status::notHittable, "disabled"}));
    form_->button->setEnabled(true);

    auto overlay = std::make_shared<UIView>(CGRect{0, 250, 390, 100});
    window_->addSubview(overlay);
    EXPECT_EQ(driver_.tap(ViewQuery::byText("Go")),
              (DriverResult{DriverResult::Status::notHittable, "covered by UIView"}));
    overlay->isUserInteractionEnabled = false;  // touches pass through
    EXPECT_TRUE(driver_.tap(ViewQuery::byText("Go")).ok());
    overlay->setHidden(true);
    auto label = std::make_shared<UILabel>(CGRect{0, 250, 390, 100});
    window_->addSubview(label);  // a label lets touches through by itself
    EXPECT_TRUE(driver_.tap(ViewQuery::byText("Go")).ok());
    label->setHidden(true);
    form_->button->setHidden(true);
    EXPECT_EQ(driver_.tap(ViewQuery::byText("Go")),
              (DriverResult{DriverResult::Status::notFound, "no visible view \"Go\""}));
    EXPECT_EQ(form_->taps, 3);
}

TEST_F(DriverTest, AnimationsApplyAtOnceAndCompleteAfterDelayPlusDuration) {
    std::vector<std::string> events;
    UIView::animate(
        2.0, 3.0, UIViewAnimationOptions::curveEaseOut, [&] { form_->button->setAlpha(0); },
        [&](bool finished) { events.push_back(finished ? "done" : "cut"); });
    EXPECT_EQ(form_->button->alpha(), 0);
    driver_.screen();
    clock_.advance(4.9);
    EXPECT_TRUE(events.empty());
    clock_.advance(0.1);
    EXPECT_EQ(events, (std::vector<std::string>{"done"}));
    // Without a duration the completion still waits for the main queue.
    UIView::animate(
        0, [&] {}, [&](bool) { events.push_back("now"); });
    EXPECT_EQ(events.size(), 1u);
    driver_.screen();
    EXPECT_EQ(events.back(), "now");
}

TEST_F(DriverTest, TapAtTakesWindowPoints) {
    EXPECT_TRUE(driver_.tapAt({20, 310}).ok());
    EXPECT_EQ(form_->taps, 1);
    EXPECT_EQ(driver_.tapAt({-1, 5}),
              (DriverResult{DriverResult::Status::notHittable, "outside the window"}));
}

// A list whose rows scroll sideways: the wheel and drags move the innermost scroll view that can
// move that way, and a drag along a way it cannot move is left to the list.
using DriverScrollTest = testing::UITest;

TEST_F(DriverScrollTest, WheelAndDragsMoveTheScrollViewThatCan) {
    auto root = std::make_shared<UIViewController>();
    auto window = show(root);
    auto list = std::make_shared<UIScrollView>(CGRect{0, 0, 300, 400});
    list->setContentSize({300, 1000});
    auto row = std::make_shared<UIScrollView>(CGRect{0, 0, 300, 100});
    row->setContentSize({800, 100});
    list->addSubview(row);
    root->view()->addSubview(list);
    UIDriver driver(window);
    struct Step {
        const char* what;
        std::function<DriverResult()> act;
        CGPoint list, row;
    };
    const Step steps[] = {
        {"wheel down",
         [&] {
             return driver.scroll({50, 50}, 0, 120);
         },
         {0, 120},
         {0, 0}},
        {"wheel right",
         [&] {
             return driver.scroll({50, 10}, 200, 0);
         },
         {0, 120},
         {0, 0}},
        // The row now lies at y -120: the wheel reaches it again once the list is back.
        {"wheel up",
         [&] {
             return driver.scroll({50, 50}, 0, -500);
         },
         {0, 0},
         {0, 0}},
        {"wheel right over the row",
         [&] {
             return driver.scroll({50, 50}, 700, 0);
         },
         {0, 0},
         {500, 0}},
        {"drag right over the row",
         [&] {
             return driver.drag({100, 50}, {300, 60});
         },
         {0, 0},
         {300, 0}},
        {"drag up over the row",
         [&] {
             return driver.drag({100, 50}, {110, 10});
         },
         {0, 40},
         {300, 0}},
    };
    for (const auto& step : steps) {
        EXPECT_TRUE(step.act().ok()) << step.what;
        EXPECT_EQ(list->contentOffset(), step.list) << step.what;
        EXPECT_EQ(row->contentOffset(), step.row) << step.what;
    }
}

// A picture that zooms between 1 and 4: pinches keep the point under the fingers in place as
// far as the edges allow, a double tap zooms in twofold or back out, and a drag pans both ways
// while zoomed in.
TEST_F(DriverScrollTest, PinchesAndDoubleTapsZoomThePictureWithinItsLimits) {
    struct Zooming : UIScrollViewDelegate {
        std::shared_ptr<UIView> picture = std::make_shared<UIView>(CGRect{0, 0, 200, 100});
        int zooms = 0;
        std::shared_ptr<UIView> viewForZooming(UIScrollView&) override { return picture; }
        void scrollViewDidZoom(UIScrollView&) override { ++zooms; }
    };
    auto root = std::make_shared<UIViewController>();
    auto window = show(root);
    auto zooming = std::make_shared<Zooming>();
    auto scroll = std::make_shared<UIScrollView>(CGRect{0, 100, 200, 100});
    scroll->delegate = zooming;
    scroll->maximumZoomScale = 4;
    scroll->addSubview(zooming->picture);
    root->view()->addSubview(scroll);
    UIDriver driver(window);
    struct Step {
        const char* what;
        std::function<DriverResult()> act;
        const char* line;  // the scroll view's, then its picture's
    };
    const Step steps[] = {
        {"pinch out at the middle",
         [&] {
             return driver.pinch({100, 150}, 2);
         },
         "UIScrollView 0,100,200,100 offset=50 offsetx=100 zoom=2\n"
         "UIView 0,0,400,200"},
        {"pinch beyond the maximum",
         [&] {
             return driver.pinch({50, 150}, 10);
         },
         "UIScrollView 0,100,200,100 offset=150 offsetx=250 zoom=4\n"
         "UIView 0,0,800,400"},
        {"drag pans both ways",
         [&] {
             return driver.drag({100, 150}, {60, 120});
         },
         "UIScrollView 0,100,200,100 offset=180 offsetx=290 zoom=4\n"
         "UIView 0,0,800,400"},
        {"double tap zooms back out",
         [&] {
             return driver.doubleTap({0, 100});
         },
         "UIScrollView 0,100,200,100\n"
         "UIView 0,0,200,100"},
        {"double tap zooms in twofold",
         [&] {
             return driver.doubleTap({150, 125});
         },
         "UIScrollView 0,100,200,100 offset=25 offsetx=150 zoom=2\n"
         "UIView 0,0,400,200"},
        {"pinch below the minimum, at the far corner",
         [&] {
             return driver.pinch({199, 199}, 0.1);
         },
         "UIScrollView 0,100,200,100\n"
         "UIView 0,0,200,100"},
        {"nothing zooms outside it",
         [&] {
             return driver.pinch({100, 50}, 3);
         },
         "UIScrollView 0,100,200,100\n"
         "UIView 0,0,200,100"},
    };
    for (const auto& step : steps) {
        EXPECT_TRUE(step.act().ok()) << step.what;
        EXPECT_EQ(dumpLine(*scroll) + "\n" + dumpLine(*zooming->picture), step.line) << step.what;
    }
    EXPECT_EQ(zooming->zooms, 5);
    // No room between the limits, or a zooming view that is not the scroll view's own: no zoom.
    scroll->maximumZoomScale = 1;
    EXPECT_FALSE(scroll->zoomTo(2, {0, 0}));
    scroll->maximumZoomScale = 4;
    zooming->picture = std::make_shared<UIView>(CGRect{0, 0, 10, 10});
    EXPECT_FALSE(scroll->handleDoubleTap({0, 0}));
    EXPECT_EQ(scroll->zoomScale(), 1);
}

}  // namespace
}  // namespace platform
