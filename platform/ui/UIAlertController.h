#pragma once
// Alerts, action sheets and the activity sheet: view trees with a UIButton per action. An alert
// covers the window; tapping an action dismisses the alert, then runs the action's handler.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/ui/UIControl.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIViewController.h"

namespace platform {

class UIAlertAction {
  public:
    enum class Style { defaultStyle, cancel, destructive };
    UIAlertAction(std::string title, Style style,
                  std::function<void(UIAlertAction&)> handler = nullptr)
        : title_(std::move(title)), style_(style), handler_(std::move(handler)) {}
    const std::string& title() const { return title_; }
    Style style() const { return style_; }
    bool isEnabled = true;
    void run() {
        if (handler_) handler_(*this);
    }

  private:
    std::string title_;
    Style style_;
    std::function<void(UIAlertAction&)> handler_;
};

enum class UIAlertControllerStyle { actionSheet = 0, alert = 1 };

class UIAlertController : public UIViewController {
  public:
    UIAlertController(std::optional<std::string> title, std::optional<std::string> message,
                      UIAlertControllerStyle style);
    const std::optional<std::string>& alertTitle() const { return alertTitle_; }
    const std::optional<std::string>& message() const { return message_; }
    UIAlertControllerStyle preferredStyle() const { return style_; }
    void addAction(std::shared_ptr<UIAlertAction> action);
    const std::vector<std::shared_ptr<UIAlertAction>>& actions() const { return actions_; }
    // Dismisses the alert, then runs the handler (what a tap on its button does).
    void performAction(const std::shared_ptr<UIAlertAction>& action);
    void loadView() override;

  protected:
    CGRect presentedFrame(const UIWindow& window, UIModalPresentationStyle style) const override;

  private:
    std::optional<std::string> alertTitle_;
    std::optional<std::string> message_;
    UIAlertControllerStyle style_;
    std::vector<std::shared_ptr<UIAlertAction>> actions_;
};

// What can be shared: texts, URLs (as texts) and images.
struct UIActivityItem {
    std::optional<std::string> text;
    std::shared_ptr<UIImage> image;
};

inline constexpr const char* UIActivityTypeCopyToPasteboard = "copyToPasteboard";
inline constexpr const char* UIActivityTypeSaveToCameraRoll = "saveToCameraRoll";

class UIActivityViewController : public UIViewController {
  public:
    using CompletionHandler =
        std::function<void(std::optional<std::string> activityType, bool completed)>;
    explicit UIActivityViewController(std::vector<UIActivityItem> items);
    const std::vector<UIActivityItem>& activityItems() const { return items_; }
    std::vector<std::string> excludedActivityTypes;
    CompletionHandler completionWithItemsHandler;
    // Dismisses the sheet, then reports the activity (nullopt: closed without one).
    void perform(std::optional<std::string> activityType);
    void loadView() override;

    // What carries out a chosen activity (main thread); the display of the process installs
    // one. Without one, an activity only reports its completion.
    using ActivityHandler = std::function<void(const std::string& activityType,
                                               const std::vector<UIActivityItem>& items)>;
    static void setActivityHandler(ActivityHandler handler);

  private:
    std::vector<UIActivityItem> items_;
};

}  // namespace platform
