#include "platform/ui/UIView.h"

#include <gtest/gtest.h>

#include "platform/foundation/Log.h"
#include "platform/ui/ScreenDump.h"
#include "platform/ui/UIControl.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIScrollView.h"
#include "platform/ui/UITestSupport.h"
#include "platform/ui/UITextField.h"
#include "platform/ui/UIViewController.h"

namespace platform {
namespace {

using ViewTest = testing::UITest;

// 10-point text: 5.5 points a character when wrapping, 12 points a line.
TEST(LabelTest, WrapsAtBlanksToTheGivenWidth) {
    struct Case {
        const char* text;
        int numberOfLines;
        CGFloat width;
        CGSize fitted;
    };
    const Case cases[] = {
        {"abc def", 1, 10, {35, 12}},               // one line whatever the width
        {"abc def", 0, 0, {35, 12}},                // no width: one line
        {"abc def", 0, 100, {35, 12}},              // fits
        {"abc def ghi", 0, 40, {40, 2 * 12}},       // 7 characters a line: "abc def", "ghi"
        {"abcd efg hi", 0, 45, {45, 2 * 12}},       // 8 a line: "abcd efg", "hi"
        {"abcdefghijklmnop", 0, 40, {40, 3 * 12}},  // a long word is cut into lines
        {"ab\ncd", 0, 40, {40, 2 * 12}},            // a newline breaks
        {"abc def ghi jkl", 2, 40, {40, 2 * 12}},   // at most numberOfLines
    };
    for (const auto& c : cases) {
        UILabel label;
        label.font = UIFont::systemFont(10);
        label.numberOfLines = c.numberOfLines;
        label.setText(c.text);
        EXPECT_EQ(label.sizeThatFits({c.width, 0}), c.fitted) << c.text << " in " << c.width;
    }
}

// What the user must see: the selected segment filled, the caret where the next character goes.
TEST_F(ViewTest, SelectedSegmentAndCaretAreDrawn) {
    auto root = std::make_shared<UIViewController>();
    show(root);
    auto control = std::make_shared<UISegmentedControl>(CGRect{0, 0, 300, 30});
    for (int i = 0; i < 3; ++i)
        control->insertSegment(std::to_string(i), i);
    auto field = std::make_shared<UITextField>(CGRect{0, 40, 100, 30});
    root->view()->addSubview(control);
    root->view()->addSubview(field);
    const auto fills = [&] {
        CGContext ctx;
        control->draw(ctx, control->bounds());
        std::vector<CGRect> rects;
        for (const auto& item : ctx.items()) {
            if (item.kind == DisplayItem::Kind::fill && item.rect.width() > 1)
                rects.push_back(item.rect);
        }
        return rects;
    };
    EXPECT_TRUE(fills().empty());
    control->setSelectedSegmentIndex(1);
    EXPECT_EQ(fills(), (std::vector<CGRect>{{100, 0, 100, 30}}));

    const auto drawnText = [&] {
        CGContext ctx;
        field->draw(ctx, field->bounds());
        return ctx.items().empty() ? std::string() : ctx.items().back().text;
    };
    field->setText("abc");
    EXPECT_EQ(drawnText(), "abc");
    ASSERT_TRUE(field->becomeFirstResponder());
    field->setSelectedTextRange({2, 2});
    EXPECT_EQ(drawnText(), std::string("ab") + UITextField::kCaret + "c");
    field->setText("");
    EXPECT_EQ(drawnText(), UITextField::kCaret);
}

// A layer of no view that writes a word, to show whose text style it is drawn in.
class WordLayer : public CALayer {
  protected:
    void drawInContext(CGContext& ctx) const override {
        ctx.drawText("layer", {0, 0, 40, 10}, UIColor::black());
    }
};

// The display shows each text in the style of the view that drew it: its font, its alignment,
// whether it wraps. A layer of no view writes in the style of the view it lies in, also after
// a subview drew in another style, and also when turned.
TEST(DisplayItemsTest, TextsCarryTheStyleOfTheViewThatDrewThem) {
    auto root = std::make_shared<UIView>(CGRect{0, 0, 300, 300});
    auto label = std::make_shared<UILabel>(CGRect{0, 0, 100, 20});
    label->setText("label");
    label->font = {"Avenir-Heavy", 20};
    label->textAlignment = NSTextAlignment::center;
    label->numberOfLines = 0;
    auto button = UIButton::systemButton("button");
    button->setFrame({0, 30, 100, 20});
    button->titleFont = {"Menlo", 12};
    auto field = std::make_shared<UITextField>(CGRect{0, 60, 100, 20});
    field->setText("field");
    field->font = UIFont::systemFont(13);
    field->textAlignment = NSTextAlignment::right;
    for (const auto& v : {std::shared_ptr<UIView>(label), std::shared_ptr<UIView>(button),
                          std::shared_ptr<UIView>(field)})
        root->addSubview(v);
    root->layer()->addSublayer(std::make_shared<WordLayer>());
    auto turned = std::make_shared<WordLayer>();
    turned->transform.rotationZ = 0.5;
    label->layer()->addSublayer(turned);

    CGContext ctx;
    root->layer()->render(ctx);
    std::vector<std::pair<std::string, TextStyle>> drawn;
    for (const auto& item : ctx.items()) {
        if (item.kind == DisplayItem::Kind::text) drawn.emplace_back(item.text, item.style);
    }
    const std::vector<std::pair<std::string, TextStyle>> expected = {
        {"label", {{"Avenir-Heavy", 20}, NSTextAlignment::center, true}},
        {"layer", {{"Avenir-Heavy", 20}, NSTextAlignment::center, true}},
        {"button", {{"Menlo", 12}, NSTextAlignment::center, false}},
        {"field", {UIFont::systemFont(13), NSTextAlignment::right, false}},
        {"layer", TextStyle{}},
    };
    ASSERT_EQ(drawn.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(drawn[i].first, expected[i].first) << i;
        EXPECT_EQ(drawn[i].second, expected[i].second) << drawn[i].first;
    }
}

TEST_F(ViewTest, AutoresizingMasksShareTheChangeAmongTheFlexibleParts) {
    struct Case {
        unsigned mask;
        CGRect after;
    };
    const Case cases[] = {
        {UIViewAutoresizing::none, {10, 10, 80, 20}},
        {UIViewAutoresizing::flexibleWidth, {10, 10, 180, 20}},
        {UIViewAutoresizing::flexibleLeftMargin, {110, 10, 80, 20}},
        // Margins of 10 and 10 share 100 points equally.
        {UIViewAutoresizing::flexibleLeftMargin | UIViewAutoresizing::flexibleRightMargin,
         {60, 10, 80, 20}},
        {UIViewAutoresizing::flexibleHeight | UIViewAutoresizing::flexibleTopMargin,
         {10, 20, 80, 40}},  // in proportion: 10 to the margin of 10, 20 to the height of 20
    };
    for (const auto& c : cases) {
        auto parent = std::make_shared<UIView>(CGRect{0, 0, 100, 40});
        auto child = std::make_shared<UIView>(CGRect{10, 10, 80, 20});
        child->autoresizingMask = c.mask;
        parent->addSubview(child);
        parent->setFrame({0, 0, 200, 70});
        EXPECT_EQ(child->frame(), c.after) << c.mask;
    }
}

TEST_F(ViewTest, StackViewsCloseTheGapOfAHiddenView) {
    auto stack = std::make_shared<UIStackView>(CGRect{0, 0, 300, 40});
    stack->distribution = UIStackView::Distribution::fillEqually;
    stack->spacing = 10;
    std::vector<std::shared_ptr<UIView>> keys;
    for (int i = 0; i < 3; ++i) {
        keys.push_back(std::make_shared<UIView>());
        stack->addArrangedSubview(keys.back());
    }
    stack->layoutIfNeeded();
    EXPECT_EQ(dumpLine(*keys[2]), "UIView 206.667,0,93.333,40");
    keys[1]->setHidden(true);
    stack->layoutIfNeeded();
    EXPECT_EQ(screenDump(*stack),
              "UIStackView 0,0,300,40\n"
              "  UIView 0,0,145,40\n"
              "  UIView 103.333,0,93.333,40 hidden\n"
              "  UIView 155,0,145,40\n");
}

TEST_F(ViewTest, ConstraintsAreStoredOnTheCommonAncestorAndFoundAgain) {
    std::vector<std::string> log;
    auto previous = setLogSink([&](std::string_view line) { log.emplace_back(line); });
    auto root = std::make_shared<UIView>(CGRect{0, 0, 390, 844});
    auto table = std::make_shared<UIScrollView>(CGRect{0, 0, 390, 800});
    auto button = std::make_shared<UIView>(CGRect{0, 0, 50, 50});
    root->addSubview(table);
    root->addSubview(button);
    auto trailing =
        NSLayoutConstraint::make(root, NSLayoutAttribute::trailing, NSLayoutRelation::equal, table,
                                 NSLayoutAttribute::trailing, 1, 0);
    auto width = NSLayoutConstraint::make(button, NSLayoutAttribute::width, NSLayoutRelation::equal,
                                          nullptr, NSLayoutAttribute::notAnAttribute, 1, 50);
    auto elsewhere = std::make_shared<UIView>();
    auto loose = NSLayoutConstraint::make(button, NSLayoutAttribute::top, NSLayoutRelation::equal,
                                          elsewhere, NSLayoutAttribute::top);
    NSLayoutConstraint::activate({trailing, width, loose});
    EXPECT_EQ(root->constraints(), (std::vector<std::shared_ptr<NSLayoutConstraint>>{trailing}));
    EXPECT_EQ(button->constraints(), (std::vector<std::shared_ptr<NSLayoutConstraint>>{width}));
    EXPECT_FALSE(loose->isActive);
    setLogSink(previous);
    EXPECT_EQ(log, (std::vector<std::string>{
                       "NSLayoutConstraint: the items have no common ancestor; not activated"}));
    // What the result screen does: find the table's trailing constraint and change it.
    auto it = std::find_if(root->constraints().begin(), root->constraints().end(), [&](auto& c) {
        return c->secondItem.lock() == table && c->secondAttribute == NSLayoutAttribute::trailing;
    });
    ASSERT_NE(it, root->constraints().end());
    (*it)->constant = -50;
    EXPECT_EQ(trailing->constant, -50);
    NSLayoutConstraint::deactivate({trailing});
    EXPECT_TRUE(root->constraints().empty());
}

}  // namespace
}  // namespace platform
