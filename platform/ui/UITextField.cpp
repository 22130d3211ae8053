#include "platform/ui/UITextField.h"

#include <algorithm>

#include "platform/foundation/Text.h"

namespace platform {

void UITextField::setText(std::string text) {
    text_ = toValidUTF8(text);
    std::size_t n = codePointCount(text_);
    selection_ = {n, n};
    caretAtStart_ = false;
}

std::optional<UITextRange> UITextField::selectedTextRange() const {
    if (!isFirstResponder()) return std::nullopt;
    return selection_;
}

void UITextField::setSelectedTextRange(UITextRange range) {
    if (!isFirstResponder()) return;
    std::size_t n = codePointCount(text_);
    std::size_t a = std::min(range.start, n), b = std::min(range.end, n);
    selection_ = {std::min(a, b), std::max(a, b)};
    caretAtStart_ = false;
}

void UITextField::moveCaret(UITextCaretMove move, bool extending) {
    if (!isFirstResponder()) return;
    const std::size_t n = codePointCount(text_);
    std::size_t caret = caretOffset();
    const std::size_t anchor = caretAtStart_ ? selection_.end : selection_.start;
    const bool sideways = move == UITextCaretMove::left || move == UITextCaretMove::right;
    if (!extending && sideways && !selection_.isEmpty()) {
        // Left or Right without Shift first only ends the selection, at the side it points to.
        caret = move == UITextCaretMove::left ? selection_.start : selection_.end;
        selection_ = {caret, caret};
        caretAtStart_ = false;
        return;
    }
    switch (move) {
        case UITextCaretMove::left:
            if (caret > 0) --caret;
            break;
        case UITextCaretMove::right:
            if (caret < n) ++caret;
            break;
        case UITextCaretMove::home:
            caret = 0;
            break;
        case UITextCaretMove::end:
            caret = n;
            break;
    }
    if (extending) {
        selection_ = {std::min(anchor, caret), std::max(anchor, caret)};
        caretAtStart_ = caret < anchor;
    } else {
        selection_ = {caret, caret};
        caretAtStart_ = false;
    }
}

void UITextField::replace(UITextRange range, const std::string& text) {
    std::size_t n = codePointCount(text_);
    std::size_t a = std::min(std::min(range.start, range.end), n);
    std::size_t b = std::min(std::max(range.start, range.end), n);
    std::string clean = toValidUTF8(text);
    text_ = substringByCodePoints(text_, 0, a) + clean + substringByCodePoints(text_, b, n - b);
    std::size_t caret = a + codePointCount(clean);
    selection_ = {caret, caret};
    caretAtStart_ = false;
}

void UITextField::insertText(const std::string& text) {
    if (!isFirstResponder()) return;
    if (auto d = delegate.lock(); d && !d->shouldChangeCharacters(*this, selection_, text)) return;
    replace(selection_, text);
    sendActions(UIControlEvents::editingChanged);
}

void UITextField::deleteBackward() {
    if (!isFirstResponder()) return;
    UITextRange range = selection_;
    if (range.isEmpty()) {
        if (range.start == 0) return;
        range.start -= 1;
    }
    deleteRange(range);
}

void UITextField::deleteForward() {
    if (!isFirstResponder()) return;
    UITextRange range = selection_;
    if (range.isEmpty()) {
        if (range.end == codePointCount(text_)) return;
        range.end += 1;
    }
    deleteRange(range);
}

void UITextField::deleteRange(UITextRange range) {
    if (auto d = delegate.lock(); d && !d->shouldChangeCharacters(*this, range, "")) return;
    replace(range, "");
    sendActions(UIControlEvents::editingChanged);
}

void UITextField::pressReturn() {
    if (!isFirstResponder()) return;
    if (auto d = delegate.lock()) d->textFieldShouldReturn(*this);
}

bool UITextField::canBecomeFirstResponder() const {
    return isEnabled();
}

bool UITextField::becomeFirstResponder() {
    if (isFirstResponder()) return true;
    if (!canBecomeFirstResponder()) return false;
    if (auto d = delegate.lock(); d && !d->textFieldShouldBeginEditing(*this)) return false;
    return UIControl::becomeFirstResponder();
}

bool UITextField::resignFirstResponder() {
    if (!isFirstResponder()) return true;
    if (auto d = delegate.lock(); d && !d->textFieldShouldEndEditing(*this)) return false;
    return UIControl::resignFirstResponder();
}

void UITextField::firstResponderChanged(bool isFirst) {
    auto keep = shared<UITextField>();
    if (isFirst) {
        std::size_t n = codePointCount(text_);
        selection_ = {n, n};
        caretAtStart_ = false;
        if (auto d = delegate.lock()) d->textFieldDidBeginEditing(*this);
        sendActions(UIControlEvents::editingDidBegin);
    } else {
        if (auto d = delegate.lock()) d->textFieldDidEndEditing(*this);
        sendActions(UIControlEvents::editingDidEnd);
    }
}

bool UITextField::handleTap(CGPoint p) {
    if (UIView::handleTap(p)) return true;
    if (isEnabled() && !isFirstResponder()) becomeFirstResponder();
    return true;
}

void UITextField::draw(CGContext& ctx, CGRect rect) const {
    if (isFirstResponder()) {
        // The caret is a thin bar in the text's flow, at the end of the selection where it
        // stands, so that it stands where the next character goes whatever face shows the text.
        const auto length = codePointCount(text_);
        const auto at = std::min(caretOffset(), length);
        ctx.drawText(substringByCodePoints(text_, 0, at) + kCaret +
                         substringByCodePoints(text_, at, length - at),
                     rect, textColor);
    } else if (!text_.empty()) {
        ctx.drawText(text_, rect, textColor);
    } else if (!placeholder.empty()) {
        ctx.drawText(placeholder, rect, UIColor::systemGray());
    }
}

void UITextField::describe(ViewDescription& d) const {
    UIControl::describe(d);
    d.text = text_;
    if (isFirstResponder()) {
        d.focus = std::make_pair(selection_.start, selection_.end);
        d.caretAtStart = caretAtStart_ && !selection_.isEmpty();
    }
    d.color = textColor;
}

}  // namespace platform
