#include "platform/ui/UIAlertController.h"

#include <algorithm>

#include "platform/ui/UIWindow.h"

namespace platform {
namespace {

constexpr CGFloat kAlertWidth = 270;
constexpr CGFloat kButtonHeight = 44;
constexpr CGFloat kSheetMargin = 8;

// As tall as its text wrapped to the box's width: an alert shows all of its title and message.
std::shared_ptr<UILabel> makeLabel(const std::string& text, CGFloat y, CGFloat width, UIFont font) {
    auto label = std::make_shared<UILabel>(CGRect{16, y, width - 32, 0});
    label->setText(text);
    label->font = font;
    label->textAlignment = NSTextAlignment::center;
    label->numberOfLines = 0;
    const CGSize fitted = label->sizeThatFits({width - 32, 0});
    label->setFrame({16, y, width - 32, fitted.height});
    return label;
}

// The box with title, message and buttons; returns its height.
CGFloat fillBox(UIView& box, CGFloat width, const std::optional<std::string>& title,
                const std::optional<std::string>& message,
                const std::vector<std::shared_ptr<UIButton>>& buttons) {
    CGFloat y = 0;
    if ((title && !title->empty()) || (message && !message->empty())) {
        y = 20;
        if (title && !title->empty()) {
            auto label = makeLabel(*title, y, width, UIFont::boldSystemFont(17));
            box.addSubview(label);
            y = label->frame().maxY() + 4;
        }
        if (message && !message->empty()) {
            auto label = makeLabel(*message, y, width, UIFont::systemFont(13));
            box.addSubview(label);
            y = label->frame().maxY();
        }
        y += 20;
    }
    for (auto& b : buttons) {
        b->setFrame({0, y, width, kButtonHeight});
        box.addSubview(b);
        y += kButtonHeight;
    }
    return y;
}

}  // namespace

UIAlertController::UIAlertController(std::optional<std::string> title,
                                     std::optional<std::string> message,
                                     UIAlertControllerStyle style)
    : alertTitle_(std::move(title)), message_(std::move(message)), style_(style) {
    this->title = alertTitle_.value_or("");
    modalPresentationStyle = UIModalPresentationStyle::overFullScreen;
}

void UIAlertController::addAction(std::shared_ptr<UIAlertAction> action) {
    if (action) actions_.push_back(std::move(action));
}

void UIAlertController::performAction(const std::shared_ptr<UIAlertAction>& action) {
    if (!action || !action->isEnabled) return;
    auto keep = shared<UIAlertController>();
    dismiss(true, [action] { action->run(); });
}

CGRect UIAlertController::presentedFrame(const UIWindow& window, UIModalPresentationStyle) const {
    return window.bounds();
}

void UIAlertController::loadView() {
    CGRect screen = UIScreen::main().bounds;
    auto root = std::make_shared<UIView>(screen);
    root->setBackgroundColor(UIColor::white(0, 0.2));
    root->autoresizingMask = UIViewAutoresizing::flexibleWidth | UIViewAutoresizing::flexibleHeight;
    // The cancel action goes last, as the platform lays it out.
    std::vector<std::shared_ptr<UIAlertAction>> ordered = actions_;
    std::stable_partition(ordered.begin(), ordered.end(),
                          [](auto& a) { return a->style() != UIAlertAction::Style::cancel; });
    std::vector<std::shared_ptr<UIButton>> buttons;
    std::weak_ptr<UIAlertController> weakSelf = shared<UIAlertController>();
    for (auto& action : ordered) {
        auto button = std::make_shared<UIButton>();
        button->setTitle(action->title());
        button->setEnabled(action->isEnabled);
        bool destructive = action->style() == UIAlertAction::Style::destructive;
        button->setTitleColor(destructive ? UIColor::systemRed() : UIColor::systemBlue());
        if (action->style() == UIAlertAction::Style::cancel) button->role = "cancel";
        if (destructive) button->role = "destructive";
        std::weak_ptr<UIAlertAction> weakAction = action;
        button->addTarget(UIControlEvents::touchUpInside, [weakSelf, weakAction](UIControl&) {
            auto self = weakSelf.lock();
            auto a = weakAction.lock();
            if (self && a) self->performAction(a);
        });
        buttons.push_back(button);
    }
    auto box = std::make_shared<UIView>();
    box->setBackgroundColor(UIColor::systemBackground());
    box->layer()->cornerRadius = 14;
    if (style_ == UIAlertControllerStyle::alert) {
        CGFloat h = fillBox(*box, kAlertWidth, alertTitle_, message_, buttons);
        box->setFrame(
            {(screen.width() - kAlertWidth) / 2, (screen.height() - h) / 2, kAlertWidth, h});
    } else {
        CGFloat w = screen.width() - 2 * kSheetMargin;
        CGFloat h = fillBox(*box, w, alertTitle_, message_, buttons);
        box->setFrame({kSheetMargin, screen.height() - 34 - h, w, h});
    }
    root->addSubview(box);
    setView(root);
}

UIActivityViewController::UIActivityViewController(std::vector<UIActivityItem> items)
    : items_(std::move(items)) {
    modalPresentationStyle = UIModalPresentationStyle::pageSheet;
}

namespace {
UIActivityViewController::ActivityHandler& activityHandler() {
    static UIActivityViewController::ActivityHandler handler;
    return handler;
}
}  // namespace

void UIActivityViewController::setActivityHandler(ActivityHandler handler) {
    activityHandler() = std::move(handler);
}

void UIActivityViewController::perform(std::optional<std::string> activityType) {
    auto keep = shared<UIActivityViewController>();
    if (activityType && activityHandler()) activityHandler()(*activityType, items_);
    dismiss(true, [keep, activityType] {
        if (keep->completionWithItemsHandler) {
            keep->completionWithItemsHandler(activityType, activityType.has_value());
        }
    });
}

void UIActivityViewController::loadView() {
    CGRect screen = UIScreen::main().bounds;
    auto root = std::make_shared<UIView>(screen);
    root->setBackgroundColor(UIColor::systemBackground());
    std::vector<std::pair<std::string, std::optional<std::string>>> entries;
    for (const char* type : {UIActivityTypeCopyToPasteboard, UIActivityTypeSaveToCameraRoll}) {
        if (std::find(excludedActivityTypes.begin(), excludedActivityTypes.end(), type) ==
            excludedActivityTypes.end()) {
            entries.emplace_back(
                type == std::string(UIActivityTypeCopyToPasteboard) ? "Copy" : "Save Image", type);
        }
    }
    entries.emplace_back("Close", std::nullopt);
    std::weak_ptr<UIActivityViewController> weakSelf = shared<UIActivityViewController>();
    CGFloat y = 16;
    for (auto& [title, type] : entries) {
        auto button = std::make_shared<UIButton>(CGRect{0, y, screen.width(), kButtonHeight});
        button->setTitle(title);
        button->setTitleColor(UIColor::systemBlue());
        if (!type) button->role = "cancel";
        button->addTarget(UIControlEvents::touchUpInside, [weakSelf, type = type](UIControl&) {
            if (auto self = weakSelf.lock()) self->perform(type);
        });
        root->addSubview(button);
        y += kButtonHeight;
    }
    setView(root);
}

}  // namespace platform
