#include "platform/ui/ScreenDump.h"

#include <gtest/gtest.h>

#include "platform/ui/UIAlertController.h"
#include "platform/ui/UIDriver.h"
#include "platform/ui/UITableView.h"
#include "platform/ui/UITestSupport.h"
#include "platform/ui/UITextField.h"

namespace platform {
namespace {

class ScreenDumpTest : public testing::UITest {};

TEST_F(ScreenDumpTest, LinesCarryTheAttributesInTheirOrder) {
    auto label = std::make_shared<UILabel>(CGRect{10, 20.5, 100, 19.5});
    label->accessibilityIdentifier = "title";
    label->setText("Say \"hi\"\\\nnow");
    label->tag = 101;
    label->setAlpha(0.5);
    label->setBackgroundColor(UIColor::systemFill());
    EXPECT_EQ(dumpLine(*label),
              "UILabel#title 10,20.5,100,19.5 text=\"Say \\\"hi\\\"\\\\\\nnow\" tag=101 "
              "alpha=0.5 bg=#78788033 color=#000000");

    auto button = UIButton::systemButton("OK");
    button->setEnabled(false);
    button->setSelected(true);
    button->role = "cancel";
    button->setBackgroundColor(UIColor(1, 1, 1, 1));
    EXPECT_EQ(
        dumpLine(*button),
        "UIButton 0,0,0,0 text=\"OK\" disabled selected bg=#ffffff color=#007aff role=cancel");

    auto segments = std::make_shared<UISegmentedControl>(CGRect{0, 0, 300, 32});
    segments->insertSegment("a", 0);
    segments->insertSegment(UIImage::named("qz_ui_b"), 1);
    segments->setSelectedSegmentIndex(1);
    EXPECT_EQ(screenDump(*segments),
              "UISegmentedControl 0,0,300,32 segments=1/2\n"
              "  UIView 0,0,150,32\n"
              "    UILabel 0,0,150,32 text=\"a\" color=#000000\n"
              "  UIView 150,0,150,32\n"
              "    UIImageView 0,0,150,32 image=qz_ui_b\n");
}

TEST_F(ScreenDumpTest, HiddenSubtreesShowOnlyTheirTop) {
    auto root = std::make_shared<UIView>(CGRect{0, 0, 390, 844});
    auto box = std::make_shared<UIView>(CGRect{0, 0, 50, 50});
    box->addSubview(std::make_shared<UILabel>(CGRect{0, 0, 10, 10}));
    box->setHidden(true);
    root->addSubview(box);
    root->addSubview(std::make_shared<UIImageView>(UIImage::named("logo")));
    EXPECT_EQ(screenDump(*root),
              "UIView 0,0,390,844\n"
              "  UIView 0,0,50,50 hidden\n"
              "  UIImageView 0,0,24,24 image=logo\n");
}

class Fields : public UIViewController {
  public:
    std::shared_ptr<UITextField> field;
    void viewDidLoad() override {
        field = std::make_shared<UITextField>(CGRect{16, 100, 200, 40});
        field->accessibilityIdentifier = "aTextField";
        view()->addSubview(field);
    }
};

TEST_F(ScreenDumpTest, AFocusedFieldShowsItsCaretOrSelectionInCodePoints) {
    auto vc = std::make_shared<Fields>();
    show(vc);
    UIDriver driver;
    ASSERT_TRUE(driver.tap(ViewQuery::byId("aTextField")).ok());
    ASSERT_TRUE(driver.type("2π").ok());
    EXPECT_EQ(dumpLine(*vc->field),
              "UITextField#aTextField 16,100,200,40 text=\"2π\" focus caret=2 color=#000000");
    vc->field->setSelectedTextRange({1, 2});
    EXPECT_EQ(dumpLine(*vc->field),
              "UITextField#aTextField 16,100,200,40 text=\"2π\" focus sel=1-2 color=#000000");
    // Selected leftwards, the caret stands at the start, and says so.
    ASSERT_TRUE(driver.pressKey("End").ok());
    ASSERT_TRUE(driver.pressKey("ArrowLeft", true).ok());
    EXPECT_EQ(dumpLine(*vc->field),
              "UITextField#aTextField 16,100,200,40 text=\"2π\" focus "
              "sel=1-2 caret=1 color=#000000");
    ASSERT_TRUE(driver.pressKey("ArrowLeft", true).ok());
    ASSERT_TRUE(driver.pressKey("ArrowRight", true).ok());
    ASSERT_TRUE(driver.pressKey("ArrowRight", true).ok());
    EXPECT_EQ(dumpLine(*vc->field),
              "UITextField#aTextField 16,100,200,40 text=\"2π\" focus caret=2 color=#000000");
    vc->field->resignFirstResponder();
    EXPECT_EQ(dumpLine(*vc->field),
              "UITextField#aTextField 16,100,200,40 text=\"2π\" color=#000000");
}

TEST_F(ScreenDumpTest, AlertAndTableInTheWindow) {
    class List : public UITableViewController {
      public:
        int numberOfRowsInSection(UITableView&, int) override { return 30; }
        std::shared_ptr<UITableViewCell> cellForRowAt(UITableView& t, NSIndexPath ip) override {
            auto cell = t.dequeueReusableCell("row", ip);
            cell->textLabel()->setText("Row " + std::to_string(ip.row));
            return cell;
        }
        void viewDidLoad() override {
            tableView()->registerCell("row", [] { return std::make_shared<UITableViewCell>(); });
            tableView()->rowHeight = 400;
        }
    };
    auto list = std::make_shared<List>();
    show(list);
    list->tableView()->scrollToRow({0, 1}, UITableViewScrollPosition::top, false);
    auto alert = std::make_shared<UIAlertController>("Clear History", "Sure?",
                                                     UIAlertControllerStyle::alert);
    alert->addAction(std::make_shared<UIAlertAction>("Cancel", UIAlertAction::Style::cancel));
    alert->addAction(std::make_shared<UIAlertAction>("Clear", UIAlertAction::Style::destructive));
    list->present(alert, true);
    EXPECT_EQ(UIDriver().screen(),
              "UIWindow 0,0,390,844\n"
              "  UITableView 0,0,390,844 vc=List rows=30 offset=400\n"
              "    UITableViewCell 0,400,390,400\n"
              "      UIView 0,0,390,400\n"
              "        UILabel 16,0,358,400 text=\"Row 1\" color=#000000\n"
              "    UITableViewCell 0,800,390,400\n"
              "      UIView 0,0,390,400\n"
              "        UILabel 16,0,358,400 text=\"Row 2\" color=#000000\n"
              "    UITableViewCell 0,1200,390,400\n"
              "      UIView 0,0,390,400\n"
              "        UILabel 16,0,358,400 text=\"Row 3\" color=#000000\n"
              "  UIView 0,0,390,844 vc=UIAlertController bg=#00000033\n"
              "    UIView 60,338,270,168 bg=#ffffff\n"
              "      UILabel 16,20,238,20.4 text=\"Clear History\" color=#000000\n"
              "      UILabel 16,44.4,238,15.6 text=\"Sure?\" color=#000000\n"
              "      UIButton 0,80,270,44 text=\"Clear\" color=#ff3b30 role=destructive\n"
              "      UIButton 0,124,270,44 text=\"Cancel\" color=#007aff role=cancel\n");
}

}  // namespace
}  // namespace platform
