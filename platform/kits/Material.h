#pragma once
// The navigation chrome kit: toolbar, navigation drawer and tabs controllers, their bars, the
// kit's buttons, icons and colours.
//
// Every controller runs prepare() once, when its view loads (before it is first shown);
// overrides call the inherited prepare() first. transition(to, completion) swaps the root
// controller (the old one disappears, the new one appears while the container is on screen)
// and runs the completion after the swap.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/UIControl.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIViewController.h"

namespace platform {

// Depth: a shadow preset on a view's layer.
enum class DepthPreset { none, depth1, depth2, depth3, depth4, depth5 };
void setDepthPreset(UIView& view, DepthPreset preset);
DepthPreset depthPreset(const UIView& view);

// The label property fontSize: the point size of the label's font.
void setFontSize(UILabel& label, CGFloat size);

namespace Icon {
std::shared_ptr<UIImage> menu();
std::shared_ptr<UIImage> check();
std::shared_ptr<UIImage> arrowBack();
std::shared_ptr<UIImage> share();
std::shared_ptr<UIImage> edit();
std::shared_ptr<UIImage> clear();
std::shared_ptr<UIImage> info();
}  // namespace Icon

namespace Color::blueGrey {
UIColor lighten5();
}

namespace Motion {
CGPoint center(CGRect rect);
}

enum class ThemingStyle { defaultStyle, none };

class Button : public UIButton {
  public:
    using UIButton::UIButton;
    ThemingStyle themingStyle = ThemingStyle::defaultStyle;
};

// A square button with an icon (tinted) or a title.
class IconButton : public Button {
  public:
    IconButton(std::shared_ptr<UIImage> image, std::optional<UIColor> tintColor,
               ThemingStyle style = ThemingStyle::defaultStyle);
    IconButton(const std::string& title, std::optional<UIColor> titleColor,
               ThemingStyle style = ThemingStyle::defaultStyle);
};

class FABButton : public Button {
  public:
    FABButton();
};

class FlatButton : public Button {
  public:
    using Button::Button;
};

// The bar of a toolbar controller: left items, a title and detail in the middle, right items.
class Toolbar : public UIView {
  public:
    Toolbar();
    const std::string& title() const { return titleLabel_->text(); }
    void setTitle(std::string title) { titleLabel_->setText(std::move(title)); }
    const std::shared_ptr<UILabel>& titleLabel() const { return titleLabel_; }
    const std::shared_ptr<UILabel>& detailLabel() const { return detailLabel_; }
    const std::vector<std::shared_ptr<UIView>>& leftViews() const { return leftViews_; }
    void setLeftViews(std::vector<std::shared_ptr<UIView>> views);
    const std::vector<std::shared_ptr<UIView>>& rightViews() const { return rightViews_; }
    void setRightViews(std::vector<std::shared_ptr<UIView>> views);
    UIEdgeInsets contentEdgeInsets() const { return insets_; }
    void setContentEdgeInsets(UIEdgeInsets insets);
    // Items are 44 points square from the edges inwards; the title takes the middle.
    void layoutSubviews() override;

  private:
    std::shared_ptr<UILabel> titleLabel_ = std::make_shared<UILabel>();
    std::shared_ptr<UILabel> detailLabel_ = std::make_shared<UILabel>();
    std::vector<std::shared_ptr<UIView>> leftViews_, rightViews_;
    UIEdgeInsets insets_{0, 8, 0, 8};
};

// A root controller shown in a container view beneath the controller's own chrome.
class TransitionController : public UIViewController {
  public:
    explicit TransitionController(std::shared_ptr<UIViewController> rootViewController);
    std::shared_ptr<UIViewController> rootViewController() const { return root_; }
    virtual void prepare();
    bool isPrepared() const { return prepared_; }
    void transition(std::shared_ptr<UIViewController> to,
                    std::function<void(bool)> completion = nullptr);
    const std::shared_ptr<UIView>& container() const { return container_; }
    void loadView() override;
    void viewDidLoad() override;
    void viewWillLayoutSubviews() override { layoutChrome(); }

  protected:
    // Places the chrome and the container; called on every layout pass of the view.
    virtual void layoutChrome();

  private:
    std::shared_ptr<UIViewController> root_;
    std::shared_ptr<UIView> container_ = std::make_shared<UIView>();
    bool prepared_ = false;
};

class ToolbarController : public TransitionController {
  public:
    explicit ToolbarController(std::shared_ptr<UIViewController> rootViewController);
    const std::shared_ptr<Toolbar>& toolbar() const { return toolbar_; }
    // The strip under the system status bar; hiding it moves the toolbar to the top.
    const std::shared_ptr<UIView>& statusBar() const { return statusBar_; }
    UIStatusBarStyle statusBarStyle = UIStatusBarStyle::defaultStyle;
    UIStatusBarStyle preferredStatusBarStyle() const override { return statusBarStyle; }
    void prepare() override;

  protected:
    void layoutChrome() override;

  private:
    std::shared_ptr<Toolbar> toolbar_ = std::make_shared<Toolbar>();
    std::shared_ptr<UIView> statusBar_ = std::make_shared<UIView>();
};

class NavigationDrawerController;
enum class NavigationDrawerPosition { left, right };

// The drawer's nine callbacks, named after their selectors' later keywords.
class NavigationDrawerControllerDelegate {
  public:
    virtual ~NavigationDrawerControllerDelegate() = default;
    virtual void navigationDrawerControllerWillOpen(NavigationDrawerController&,
                                                    NavigationDrawerPosition) {}
    virtual void navigationDrawerControllerDidOpen(NavigationDrawerController&,
                                                   NavigationDrawerPosition) {}
    virtual void navigationDrawerControllerWillClose(NavigationDrawerController&,
                                                     NavigationDrawerPosition) {}
    virtual void navigationDrawerControllerDidClose(NavigationDrawerController&,
                                                    NavigationDrawerPosition) {}
    virtual void navigationDrawerControllerDidBeginPanAt(NavigationDrawerController&, CGPoint,
                                                         NavigationDrawerPosition) {}
    virtual void navigationDrawerControllerDidChangePanAt(NavigationDrawerController&, CGPoint,
                                                          NavigationDrawerPosition) {}
    virtual void navigationDrawerControllerDidEndPanAt(NavigationDrawerController&, CGPoint,
                                                       NavigationDrawerPosition) {}
    virtual void navigationDrawerControllerDidTapAt(NavigationDrawerController&, CGPoint,
                                                    NavigationDrawerPosition) {}
    virtual void navigationDrawerControllerStatusBar(NavigationDrawerController&, bool isHidden) {
        (void)isHidden;
    }
};

// The left side (#navigationDrawerLeftView) is in the view tree from the start (so it appears
// with the drawer, not on opening) and hidden while closed; open, it covers the root beside a
// dimming overlay whose tap closes it. A swipe right over the root or a drag from the screen's
// left edge opens the drawer; a swipe or a sideways drag to the left over the open drawer closes
// it. The delegate hears of either as a pan (a swipe begins and ends at its point).
class NavigationDrawerController : public TransitionController {
  public:
    NavigationDrawerController(std::shared_ptr<UIViewController> rootViewController,
                               std::shared_ptr<UIViewController> leftViewController,
                               std::shared_ptr<UIViewController> rightViewController = nullptr);
    std::shared_ptr<UIViewController> leftViewController() const { return left_; }
    std::shared_ptr<UIViewController> rightViewController() const { return right_; }
    std::weak_ptr<NavigationDrawerControllerDelegate> delegate;
    CGFloat leftViewWidth = 280;
    bool isLeftViewOpened() const { return opened_; }
    void toggleLeftView(CGFloat velocity = 0);
    void openLeftView(CGFloat velocity = 0);
    void closeLeftView(CGFloat velocity = 0);
    const std::shared_ptr<UIView>& leftView() const { return leftView_; }
    void prepare() override;
    void loadView() override;

  protected:
    void layoutChrome() override;

  private:
    std::shared_ptr<UIViewController> left_, right_;
    std::shared_ptr<UIView> leftView_ = std::make_shared<UIView>();
    std::shared_ptr<UIView> overlay_ = std::make_shared<UIView>();
    bool opened_ = false;
};

// A tab's button; a disabled item ignores taps.
class TabItem : public FlatButton {
  public:
    using FlatButton::FlatButton;
};

enum class TabBarAlignment { top, bottom, hidden };

class TabBar : public UIView {
  public:
    TabBar();
    std::optional<UIColor> dividerColor;
    std::optional<UIColor> lineColor() const { return line_->backgroundColor(); }
    void setLineColor(std::optional<UIColor> color) { line_->setBackgroundColor(color); }
    int lineAlignment = 0;  // the line option: 0 top, 1 bottom
    CGFloat lineHeight = 3;
    const std::vector<std::shared_ptr<TabItem>>& tabItems() const { return items_; }
    void setTabItems(std::vector<std::shared_ptr<TabItem>> items);
    void setSelectedIndex(int index);
    void layoutSubviews() override;

  private:
    std::vector<std::shared_ptr<TabItem>> items_;
    std::shared_ptr<UIView> line_ = std::make_shared<UIView>();
    int selected_ = 0;
};

class TabsController;

class TabsControllerDelegate {
  public:
    virtual ~TabsControllerDelegate() = default;
    virtual bool tabsControllerShouldSelect(TabsController&, UIViewController&) { return true; }
    virtual void tabsControllerWillSelect(TabsController&, UIViewController&) {}
    virtual void tabsControllerDidSelect(TabsController&, UIViewController&) {}
};

// Only the selected page's view is in the view tree.
class TabsController : public TransitionController {
  public:
    TabsController(std::vector<std::shared_ptr<UIViewController>> viewControllers,
                   int selectedIndex = 0);
    const std::vector<std::shared_ptr<UIViewController>>& viewControllers() const { return pages_; }
    int selectedIndex() const { return selected_; }
    // Shows page `index` and updates the tab bar; an index out of range does nothing.
    void select(int index);
    const std::shared_ptr<TabBar>& tabBar() const { return tabBar_; }
    TabBarAlignment tabBarAlignment = TabBarAlignment::bottom;
    CGFloat tabBarHeight = 48;
    std::weak_ptr<TabsControllerDelegate> delegate;
    void prepare() override;

  protected:
    void layoutChrome() override;

  private:
    std::vector<std::shared_ptr<UIViewController>> pages_;
    std::shared_ptr<TabBar> tabBar_ = std::make_shared<TabBar>();
    int selected_;
};

// The nearest enclosing controller of each kind (the controller itself included), or null.
std::shared_ptr<ToolbarController> toolbarController(UIViewController& vc);
std::shared_ptr<NavigationDrawerController> navigationDrawerController(UIViewController& vc);
std::shared_ptr<TabsController> tabsController(UIViewController& vc);
// The controller's tab item, made on first use.
std::shared_ptr<TabItem> tabItem(UIViewController& vc);

}  // namespace platform
