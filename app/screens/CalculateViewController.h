#pragma once

// The input page: a segmented control picks one of the six logarithm rules, the app's own keypad
// types into the fields a, b, u and v, a back key deletes, and calculate solves, stores the
// calculation in the history and shows the steps on the result page. Built by the interface
// "Main" under "CalculateViewController". Main thread only.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/ChartData.h"
#include "app/core/SolutionStep.h"
#include "app/screens/AdHandlingViewController.h"
#include "app/screens/ErrorManager.h"
#include "platform/foundation/Object.h"
#include "platform/kits/DTTextField.h"
#include "platform/kits/Material.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIScrollView.h"

namespace app {

inline constexpr char kMainStoryboard[] = "Main";
inline constexpr char kManualImageName[] = "qz_info";

// True while a calculation runs; the keypad, back key, calculate and clear buttons and the menu
// button then do nothing more. Main thread.
extern bool isCalculating;

// The keypad's keys, each titled with the character it types.
inline constexpr const char* kKeypadKeys[] = {"7", "8", "9", "/",      "4", "5", "6", "-",
                                              "1", "2", "3", "\u03c0", "0", ".", "e"};

class CalculateViewController : public AdHandlingViewController,
                                public platform::UITextFieldDelegate {
  public:
    CalculateViewController();

    std::weak_ptr<platform::UILabel> fillInLabel;
    std::weak_ptr<platform::FABButton> manualButton;
    std::weak_ptr<platform::UIView> bannerBackgroundView;
    std::weak_ptr<platform::NSLayoutConstraint> bottomBannerConstraint;
    std::shared_ptr<platform::IconButton> clearAllButton;
    std::weak_ptr<platform::UISegmentedControl> segmentedControl;
    std::weak_ptr<platform::UIImageView> modeImageView;
    std::shared_ptr<platform::UIStackView> keypadStackView;
    std::weak_ptr<platform::DTTextField> aTextField, bTextField, uTextField, vTextField;
    std::shared_ptr<platform::FlatButton> deleteButton;
    std::shared_ptr<platform::FlatButton> calculateButton;
    // A calculation brings its own step buffer and arithmetic; the screen holds only the error
    // reporting.
    ErrorManager& errorManager;
    std::weak_ptr<platform::UITextField> currentTextField;
    int requiredAmountOfTextFields = 0;
    std::vector<std::shared_ptr<platform::DTTextField>> allFields;
    std::vector<std::string> allIds;

    void viewDidLoad() override;
    void viewWillLayoutSubviews() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;

    virtual void setUpToolbar();
    virtual void configureTextFields();
    virtual void collectTextFields();
    virtual void setButtonIcons();
    virtual void selectMode(int index);
    virtual void saveCurrentInput();
    virtual void deleteBackward();
    virtual void showManual();
    virtual void handleKeypadKey(const platform::UIButton& key);
    virtual void clearAll();
    void applySetupParameter(const std::string& key, const platform::Object& value);

    // The calculate button's road: true when a solution was shown, false on an input error.
    bool calculate();
    void storeCalculation(const std::vector<std::string>& texts, const std::string& latexString);
    // Hands the solution to the result page (page 1 of the tabs) and shows that page; nothing
    // without that page or without steps.
    void presentSolution(std::optional<SolutionSteps> steps,
                         std::optional<std::vector<ChartDataList>> charts,
                         std::optional<std::string> imageName,
                         std::optional<std::map<int, double>> rowHeights, double rowHeight);

    bool textFieldShouldBeginEditing(platform::UITextField& field) override;
    // The fields take input only from the keypad: a keyboard's text goes in only when every
    // character of it is one the keypad types, and then as the keypad types it, key by key
    // ("-" changes the sign); a keyboard's deletion goes as the back key's.
    bool shouldChangeCharacters(platform::UITextField& field, platform::UITextRange range,
                                const std::string& replacement) override;

  private:
    // The fields that carry `id`.
    std::vector<std::shared_ptr<platform::DTTextField>> fieldsWithId(const std::string& id) const;
    // Writes `text` into the fields that share `current`'s identifier and puts `current`'s caret
    // at `caret`.
    void writeText(platform::UITextField& current, const std::string& text, std::size_t caret);
    // The keypad's step for the key titled `title` at `field`'s selection.
    void typeKey(platform::UITextField& field, const std::string& title);
    // The back key's step for the code points `range` of `field`: the caret goes to its start.
    void removeCharacters(platform::UITextField& field, platform::UITextRange range);
};

// Registers the interface "Main" scene "CalculateViewController" (idempotent).
void registerCalculateInterface();

}  // namespace app
