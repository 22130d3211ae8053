#pragma once
// The text field. Text is UTF-8; the selection counts code points. A tap asks the delegate,
// takes first responder and puts the caret at the end; typing goes in at the selection. The
// caret keys move the caret, or with Shift one end of the selection (where the caret stands)
// while the other end, the anchor, stays.
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/UIControl.h"
#include "platform/ui/UILabel.h"

namespace platform {

class UITextField;

struct UITextRange {
    std::size_t start = 0, end = 0;  // code points, start <= end
    bool isEmpty() const { return start == end; }
    bool operator==(const UITextRange&) const = default;
};

// For failure messages: UITextRange{start: 1, end: 3} (ValuePrinters.cpp).
void PrintTo(const UITextRange& range, std::ostream* os);

class UITextFieldDelegate {
  public:
    virtual ~UITextFieldDelegate() = default;
    virtual bool textFieldShouldBeginEditing(UITextField& field) {
        (void)field;
        return true;
    }
    virtual void textFieldDidBeginEditing(UITextField& field) { (void)field; }
    virtual bool textFieldShouldEndEditing(UITextField& field) {
        (void)field;
        return true;
    }
    virtual void textFieldDidEndEditing(UITextField& field) { (void)field; }
    // `range` in code points of the current text.
    virtual bool shouldChangeCharacters(UITextField& field, UITextRange range,
                                        const std::string& replacement) {
        (void)field;
        (void)range;
        (void)replacement;
        return true;
    }
    virtual bool textFieldShouldReturn(UITextField& field) {
        (void)field;
        return true;
    }
};

enum class UITextAutocorrectionType { defaultType, no, yes };

// The keys that move the caret: a character left or right, or to the start or end of the text.
enum class UITextCaretMove { left, right, home, end };

// The shortcut bar above the system keyboard; only its two button groups are modelled.
struct UITextInputAssistantItem {
    std::vector<std::string> leadingBarButtonGroups;
    std::vector<std::string> trailingBarButtonGroups;
};

class UITextField : public UIControl {
  public:
    using UIControl::UIControl;
    const std::string& text() const { return text_; }
    // Setting the text puts the caret at its end.
    void setText(std::string text);
    std::string placeholder;
    UIColor textColor = UIColor::label();
    UIFont font = UIFont::systemFont(17);
    NSTextAlignment textAlignment = NSTextAlignment::natural;
    std::weak_ptr<UITextFieldDelegate> delegate;
    std::shared_ptr<UIView> inputView;
    UITextAutocorrectionType autocorrectionType = UITextAutocorrectionType::defaultType;
    UITextInputAssistantItem inputAssistantItem;
    bool isEditing() const { return isFirstResponder(); }

    // The selection while editing; nullopt otherwise.
    std::optional<UITextRange> selectedTextRange() const;
    // Clamped to the text; ignored while not editing. The caret stands at the range's end.
    void setSelectedTextRange(UITextRange range);
    // Where the caret stands while editing: the selection's end, or its start when the
    // selection was extended leftwards with Shift.
    std::size_t caretOffset() const { return caretAtStart_ ? selection_.start : selection_.end; }
    // A caret key, with Shift when `extending`. Without it a selection collapses to the edge the
    // key points to (Left and Home to its start, Right and End to its end; Home and End then go
    // on to the ends of the text) and an empty one moves. With it the caret's end moves and the
    // anchor stays, so the selection grows or shrinks. Ignored while not editing.
    void moveCaret(UITextCaretMove move, bool extending);
    // Replaces `range` (clamped) without asking the delegate, caret after the new text.
    void replace(UITextRange range, const std::string& text);
    // Typing: asks the delegate, replaces the selection, sends editing-changed.
    void insertText(const std::string& text);
    // Backspace: deletes the selection, or the code point before the caret.
    void deleteBackward();
    // Delete: deletes the selection, or the code point after the caret.
    void deleteForward();
    // Return key: asks the delegate.
    void pressReturn();

    bool canBecomeFirstResponder() const override;
    bool becomeFirstResponder() override;
    bool resignFirstResponder() override;
    bool handleTap(CGPoint p) override;
    // The text, or the placeholder in grey; while the field has the focus, the text with the
    // caret (kCaret) at the selection's end where the caret stands (caretOffset()).
    void draw(CGContext& ctx, CGRect rect) const override;
    TextStyle textStyle() const override { return {font, textAlignment, false}; }
    static constexpr char kCaret[] = "\u2502";
    void describe(ViewDescription& d) const override;

  protected:
    void firstResponderChanged(bool isFirst) override;

  private:
    // Asks the delegate for a deletion of `range` and makes it.
    void deleteRange(UITextRange range);
    std::string text_;
    UITextRange selection_;
    bool caretAtStart_ = false;
};

}  // namespace platform
