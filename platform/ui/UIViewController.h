#pragma once
// View controllers: lazy views, containment, appearance and presentation.
//
// Appearance: a window's root appears on makeKeyAndVisible(); only full-screen presentation
// makes the presenter disappear (its view leaves the window until the dismissal); containers
// send disappear to the old child and appear to the new on a switch. "Will" runs parent first,
// then children; "did" likewise. viewDidLoad runs at the first view().
//
// Presentation acts at once, animated or not; the completion runs right after. present() is
// refused (logged) when the presenting context already presents or is not in a window; a child
// presents through its root (the top of its parent chain).
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/UIView.h"

namespace platform {

class UIWindow;

enum class UIModalPresentationStyle {
    automatic = -2,
    none = -1,
    fullScreen = 0,
    pageSheet,
    formSheet,
    currentContext,
    custom,
    overFullScreen,
    overCurrentContext,
    popover
};

class UIPopoverPresentationController;

class UIPopoverPresentationControllerDelegate {
  public:
    virtual ~UIPopoverPresentationControllerDelegate() = default;
    // adaptivePresentationStyleForPresentationController:traitCollection:. The phone adapts a
    // popover to full screen unless the delegate answers `none`.
    virtual UIModalPresentationStyle adaptivePresentationStyle(
        UIPopoverPresentationController& controller, const UITraitCollection& traits) {
        (void)controller;
        (void)traits;
        return UIModalPresentationStyle::fullScreen;
    }
};

class UIPopoverPresentationController {
  public:
    std::weak_ptr<UIView> sourceView;
    CGRect sourceRect;
    unsigned permittedArrowDirections = 15;  // any
    std::weak_ptr<UIPopoverPresentationControllerDelegate> delegate;
};

enum class UIStatusBarStyle { defaultStyle = 0, lightContent = 1, darkContent = 3 };

class UIViewController : public UIResponder {
  public:
    UIViewController() = default;
    ~UIViewController() override = default;
    UIViewController(const UIViewController&) = delete;
    UIViewController& operator=(const UIViewController&) = delete;

    template <typename T = UIViewController>
    std::shared_ptr<T> shared() {
        return std::dynamic_pointer_cast<T>(shared_from_this());
    }

    // What sees every controller appear and disappear, after the controller's own viewDidAppear
    // or viewDidDisappear (screen tracking). One for the process; an empty one removes it.
    // Main thread.
    using AppearanceObserver = std::function<void(UIViewController& controller, bool appeared)>;
    static void setAppearanceObserver(AppearanceObserver observer);

    // Loads the view on first use (loadView, then viewDidLoad).
    std::shared_ptr<UIView> view();
    bool isViewLoaded() const { return view_ != nullptr; }
    // Interface builders install the view tree here; loadView() calls it.
    using ViewLoader = std::function<std::shared_ptr<UIView>(UIViewController&)>;
    void setViewLoader(ViewLoader loader) { viewLoader_ = std::move(loader); }
    // Default: the view loader's view, else a plain view the size of the screen.
    virtual void loadView();
    void setView(std::shared_ptr<UIView> view);

    virtual void viewDidLoad() {}
    virtual void viewWillAppear(bool animated) { (void)animated; }
    virtual void viewDidAppear(bool animated) { (void)animated; }
    virtual void viewWillDisappear(bool animated) { (void)animated; }
    virtual void viewDidDisappear(bool animated) { (void)animated; }
    virtual void viewWillLayoutSubviews() {}
    virtual void viewDidLayoutSubviews() {}

    std::string title;
    UIModalPresentationStyle modalPresentationStyle = UIModalPresentationStyle::automatic;
    // Present while the presentation style is popover (made on first use), else null.
    std::shared_ptr<UIPopoverPresentationController> popoverPresentationController();
    CGSize preferredContentSize;
    virtual UIStatusBarStyle preferredStatusBarStyle() const {
        return UIStatusBarStyle::defaultStyle;
    }

    // Containment. addChild() does not touch views; the container places the child's view.
    std::shared_ptr<UIViewController> parent() const { return parent_.lock(); }
    const std::vector<std::shared_ptr<UIViewController>>& children() const { return children_; }
    void addChild(std::shared_ptr<UIViewController> child);
    void removeFromParent();
    // The nearest ancestor (or this) of class T.
    template <typename T>
    std::shared_ptr<T> ancestor() {
        for (auto vc = shared<UIViewController>(); vc; vc = vc->parent()) {
            if (auto t = std::dynamic_pointer_cast<T>(vc)) return t;
        }
        return nullptr;
    }

    // Presentation.
    std::shared_ptr<UIViewController> presentedViewController() const;
    std::shared_ptr<UIViewController> presentingViewController() const;
    void present(std::shared_ptr<UIViewController> vc, bool animated,
                 std::function<void()> completion = nullptr);
    // Dismisses what this controller's context presents, or, when it presents nothing, the
    // context itself.
    void dismiss(bool animated, std::function<void()> completion = nullptr);

    enum class Appearance { disappeared, appearing, appeared, disappearing };
    Appearance appearance() const { return appearance_; }
    // Appearance callbacks for this controller and the children that follow it; containers
    // call them around switches, windows and presentation call them for roots.
    void beginAppearanceTransition(bool appearing, bool animated);
    void endAppearanceTransition();

    std::shared_ptr<UIResponder> nextResponder() const override;
    void rootViewWillLayout() override { viewWillLayoutSubviews(); }
    void rootViewDidLayout() override { viewDidLayoutSubviews(); }

  protected:
    // The children whose appearance follows this controller: by default those whose view sits
    // in this controller's view tree.
    virtual std::vector<std::shared_ptr<UIViewController>> appearanceChildren();
    // Swaps child views: `from` disappears and `to` appears around `swap` while this controller
    // is visible.
    void transitionChild(const std::shared_ptr<UIViewController>& from,
                         const std::shared_ptr<UIViewController>& to,
                         const std::function<void()>& swap);
    // Where a presented view sits in the window, for the style the presentation uses.
    virtual CGRect presentedFrame(const UIWindow& window, UIModalPresentationStyle style) const;

  private:
    std::shared_ptr<UIViewController> root();
    void dismissPresented(std::function<void()> completion);

    std::shared_ptr<UIView> view_;
    ViewLoader viewLoader_;
    std::weak_ptr<UIViewController> parent_;
    std::vector<std::shared_ptr<UIViewController>> children_;
    std::shared_ptr<UIPopoverPresentationController> popover_;
    // The style a presentation used after adaptation.
    UIModalPresentationStyle presentedStyle_ = UIModalPresentationStyle::automatic;
    std::shared_ptr<UIViewController> presented_;
    std::weak_ptr<UIViewController> presenting_;
    // The presenter's view while a full-screen presentation keeps it out of the window.
    std::weak_ptr<UIView> hiddenSuperview_;
    // The frame view a popover's root view sits in (through a plain view), while presented.
    std::weak_ptr<UIView> popoverFrame_;
    std::size_t hiddenIndex_ = 0;
    Appearance appearance_ = Appearance::disappeared;
};

// The frame view a popover is shown in: a view of `frame` whose mask view's layer is a shape
// layer with the popover's rounded outline, holding a plain view that holds `content`.
std::shared_ptr<UIView> makePopoverFrame(CGRect frame, const std::shared_ptr<UIView>& content);

}  // namespace platform
