#include "app/screens/InputCells.h"

#include <gtest/gtest.h>

#include "app/services/QuroColor.h"
#include "platform/ui/UIViewController.h"

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

TEST(SelectionPopup, RepeatedLayoutsOutlineThePopoverFrameOnce) {
    auto picker = std::make_shared<SelectionPopupTableViewController>();
    picker->viewWillLayoutSubviews();  // not in a popover: nothing to outline
    const auto frame = platform::makePopoverFrame({10, 10, 80, 120}, picker->view());
    for (int pass = 0; pass < 3; ++pass)
        picker->viewWillLayoutSubviews();
    ASSERT_EQ(frame->layer()->sublayers().size(), 2u);  // the plain view's layer, the border
    const auto border =
        std::dynamic_pointer_cast<platform::CAShapeLayer>(frame->layer()->sublayers()[1]);
    ASSERT_TRUE(border);
    EXPECT_EQ(border->name, "border");
    EXPECT_EQ(border->path->bounds(), (platform::CGRect{0, 0, 80, 120}));
    EXPECT_EQ(border->lineWidth, 4.0);
    EXPECT_EQ(border->strokeColor->resolved(), themePaleYellow().resolved());
    EXPECT_EQ(border->frame, frame->bounds());
}

}  // namespace
}  // namespace app
