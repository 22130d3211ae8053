#include "app/screens/InputCells.h"

#include <gtest/gtest.h>

#include "app/services/QuroColor.h"
#include "platform/ui/UITestSupport.h"

namespace app {
namespace {

TEST(KeypadInput, CellsStyleTheirFieldsForTheKeypad) {
    EnumeratedInputTableViewCell cell;
    auto integer = std::make_shared<platform::DTTextField>();
    integer->inputAssistantItem.leadingBarButtonGroups = {"undo"};
    cell.integerTextField = integer;  // the other outlets stay unconnected
    cell.awakeFromNib();
    EXPECT_TRUE(integer->inputView);
    EXPECT_EQ(integer->textAlignment, platform::NSTextAlignment::center);
    EXPECT_EQ(integer->autocorrectionType, platform::UITextAutocorrectionType::no);
    EXPECT_TRUE(integer->inputAssistantItem.leadingBarButtonGroups.empty());

    ValueInputTableViewCell value;
    value.inputTextField = std::make_shared<platform::DTTextField>();
    value.inputTextField->textAlignment = platform::NSTextAlignment::right;
    value.awakeFromNib();
    EXPECT_EQ(value.inputTextField->textAlignment, platform::NSTextAlignment::right);
    EXPECT_TRUE(value.inputTextField->inputView);
}

TEST(SelectionPopup, SizeRowsAndPicking) {
    for (const std::optional<std::int64_t> selected :
         {std::optional<std::int64_t>{2}, std::optional<std::int64_t>{}}) {
        auto picker = std::make_shared<SelectionPopupTableViewController>();
        picker->data = {"a", "b", "c", "d", "e"};
        picker->selectedIndex = selected;
        picker->view();
        picker->tableView()->setFrame({0, 0, 80, 80});
        picker->tableView()->reloadData();
        picker->viewWillAppear(false);
        // Row 2 (y 80..120) stands in the middle of an 80-point table: offset 60.
        EXPECT_EQ(picker->tableView()->contentOffset().y, selected ? 60 : 0);
        EXPECT_EQ(picker->preferredContentSize, (platform::CGSize{80, 200}));
        auto table = picker->tableView();
        for (int row = 0; row < 5; ++row) {
            auto cell = picker->cellForRowAt(*table, {0, row});
            EXPECT_EQ(cell->textLabel()->text(), picker->data[static_cast<std::size_t>(row)]);
            EXPECT_EQ(cell->backgroundColor()->resolved(),
                      (selected && row == 2 ? themePaleYellow() : themeLightYellow()).resolved());
        }
        EXPECT_EQ(picker->heightForRowAt(*table, {0, 0}), 40);
        // Without a completion a pick only dismisses; with one it reports the row.
        picker->didSelectRowAt(*table, {0, 1});
        std::int64_t picked = -1;
        picker->completion = [&](std::int64_t row) { picked = row; };
        picker->didSelectRowAt(*table, {0, 3});
        EXPECT_EQ(picked, 3);
    }
}

class PopoverBorderTest : public platform::testing::UITest {};

TEST_F(PopoverBorderTest, RepeatedLayoutsOutlineTheFrameViewOnce) {
    class KeepPopover : public platform::UIPopoverPresentationControllerDelegate {
        platform::UIModalPresentationStyle adaptivePresentationStyle(
            platform::UIPopoverPresentationController&,
            const platform::UITraitCollection&) override {
            return platform::UIModalPresentationStyle::none;
        }
    };
    auto keep = std::make_shared<KeepPopover>();
    auto root = std::make_shared<platform::UIViewController>();
    show(root);
    auto picker = std::make_shared<SelectionPopupTableViewController>();
    picker->data = {"a", "b"};
    picker->modalPresentationStyle = platform::UIModalPresentationStyle::popover;
    picker->popoverPresentationController()->delegate = keep;
    picker->viewWillLayoutSubviews();  // not shown yet: nothing to outline
    root->present(picker, true);
    const auto container = picker->view()->superview()->superview();
    for (int pass = 0; pass < 3; ++pass) {
        container->setNeedsLayout();
        picker->view()->setNeedsLayout();
        window_->layoutIfNeeded();
        picker->viewWillLayoutSubviews();
    }
    std::vector<std::shared_ptr<platform::CAShapeLayer>> borders;
    for (const auto& layer : container->layer()->sublayers())
        if (layer->name == "border")
            borders.push_back(std::dynamic_pointer_cast<platform::CAShapeLayer>(layer));
    ASSERT_EQ(borders.size(), 1u);
    ASSERT_TRUE(borders[0]);
    EXPECT_EQ(borders[0]->path->bounds(), (platform::CGRect{0, 0, 80, 80}));
    EXPECT_EQ(borders[0]->lineWidth, 4.0);
    EXPECT_EQ(borders[0]->strokeColor->resolved(), themePaleYellow().resolved());
    EXPECT_EQ(borders[0]->frame, container->bounds());
}

}  // namespace
}  // namespace app
