#include "app/screens/CalculateViewController.h"

#include <algorithm>
#include <mutex>
#include <string_view>
#include <typeinfo>

#include "app/core/LocalizedString.h"
#include "app/core/QuroLogarithmicIdentities.h"
#include "app/screens/CalcManager.h"
#include "app/screens/ManualViewController.h"
#include "app/screens/RatingViewController.h"
#include "app/screens/SolutionViewController.h"
#include "app/services/AppAnalytics.h"
#include "app/services/AppIdentity.h"
#include "app/services/ColorManager.h"
#include "app/services/QuroColor.h"
#include "app/services/Texts.h"
#include "app/services/ViewControllerHelpers.h"
#include "app/services/ViewManager.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Text.h"
#include "platform/ui/UIStoryboard.h"
#include "platform/ui/UIWindow.h"

namespace app {

bool isCalculating = false;

namespace {

// Which fields each rule shows (a, b, u, v), its picture, and the short form of its formula
// that its segment shows.
struct Mode {
    const char* image;
    bool shows[4];
    const char* segmentImage;
};
constexpr Mode kModes[kLogarithmRuleCount] = {
    {"qz_ui_a", {true, false, true, true}, "qz_segment_a"},
    {"qz_ui_b", {true, false, true, true}, "qz_segment_b"},
    {"qz_ui_c", {true, false, true, true}, "qz_segment_c"},
    {"qz_ui_d", {true, false, true, true}, "qz_segment_d"},
    {"qz_ui_e", {true, true, true, false}, "qz_segment_e"},
    {"qz_mode_f", {true, true, true, true}, "qz_segment_f"},
};

// The four field outlets by property name, in declaration order: how a field learns its name.
using FieldOutlet = std::weak_ptr<platform::DTTextField> CalculateViewController::*;
constexpr std::pair<const char*, FieldOutlet> kFieldOutlets[] = {
    {"aTextField", &CalculateViewController::aTextField},
    {"bTextField", &CalculateViewController::bTextField},
    {"uTextField", &CalculateViewController::uTextField},
    {"vTextField", &CalculateViewController::vTextField},
};

// `text` with the code points [start, end) replaced by `insert`.
std::string replaceCodePoints(const std::string& text, std::size_t start, std::size_t end,
                              const std::string& insert) {
    const auto length = platform::codePointCount(text);
    return platform::substringByCodePoints(text, 0, start) + insert +
           platform::substringByCodePoints(text, end, length - end);
}

// Whether the keypad has a key that types `character` (one code point, UTF-8).
bool isKeypadCharacter(std::string_view character) {
    return std::any_of(std::begin(kKeypadKeys), std::end(kKeypadKeys),
                       [&](const char* key) { return character == key; });
}

// Sets `isCalculating` for one run and clears it however the run ends.
struct CalculatingScope {
    CalculatingScope() { isCalculating = true; }
    ~CalculatingScope() { isCalculating = false; }
    CalculatingScope(const CalculatingScope&) = delete;
    CalculatingScope& operator=(const CalculatingScope&) = delete;
};

}  // namespace

CalculateViewController::CalculateViewController() : errorManager(ErrorManager::shared()) {}

void CalculateViewController::viewDidLoad() {
    AdHandlingViewController::viewDidLoad();
    auto& store = CalcManager::shared();
    if (store.currentSelectedCalculation) {
        for (const auto& [key, value] : store.currentSelectedCalculation->setupParameter)
            applySetupParameter(key, value);
    }
    if (const auto label = fillInLabel.lock())
        label->setText(LocalizedString::fillInGivenNumbers());
    collectTextFields();
    setTabItem(*this, localized("Input"), true);
    configureTextFields();
    setButtonIcons();
    std::optional<Calculation> restore;
    if (store.currentSelectedCalculation) {
        restore = std::move(store.currentSelectedCalculation);
        store.currentSelectedCalculation.reset();
        store.saveCurrentCalculations();
    } else {
        restore = store.currentCalculation;
    }
    if (restore) {
        for (const auto& field : allFields) {
            const auto it = restore->inputParameters.find(field->accessibilityIdentifier);
            field->setText(it == restore->inputParameters.end() ? "" : it->second);
        }
    }
    ColorManager::styleSubviews(*view());
    ViewManager::fitSegmentImages(*view());
}

void CalculateViewController::viewWillLayoutSubviews() {
    AdHandlingViewController::viewWillLayoutSubviews();
    // The interface's frames follow the width the page is given.
    const double w = view()->bounds().size.width, h = view()->bounds().size.height;
    if (const auto label = fillInLabel.lock()) label->setFrame({16, 8, w - 32, 24});
    if (const auto control = segmentedControl.lock()) control->setFrame({16, 40, w - 32, 36});
    if (const auto image = modeImageView.lock()) image->setFrame({16, 84, w - 32, 72});
    const double fieldWidth = (w - 48) / 2;
    for (std::size_t i = 0; i < 4; ++i) {
        if (const auto field = (this->*kFieldOutlets[i].second).lock()) {
            field->setFrame(
                {i % 2 == 0 ? 16 : 32 + fieldWidth, i < 2 ? 166.0 : 220.0, fieldWidth, 44});
        }
    }
    if (keypadStackView) keypadStackView->setFrame({16, 276, w - 32, 4 * 52});
    // The help button sits beside the calculate button, above where an error toast shows.
    if (calculateButton) calculateButton->setFrame({16, 492, w - 96, 48});
    if (const auto manual = manualButton.lock()) manual->setFrame({w - 64, 492, 48, 48});
    if (const auto banner = bannerBackgroundView.lock()) banner->setFrame({0, h - 60, w, 60});
}

void CalculateViewController::viewWillAppear(bool animated) {
    AdHandlingViewController::viewWillAppear(animated);
    if (bannerView) bannerView->setHidden(true);
    if (const auto constraint = bottomBannerConstraint.lock()) {
        constraint->constant = windowBottomSafeAreaInset();
    }
    view()->layoutIfNeeded();
    setUpToolbar();
    errorManager.updateFieldStates();
}

void CalculateViewController::viewDidAppear(bool animated) {
    AdHandlingViewController::viewDidAppear(animated);
    RatingViewController::shared()->showRatingIfNeeded(shared<CalculateViewController>());
}

void CalculateViewController::viewWillDisappear(bool animated) {
    AdHandlingViewController::viewWillDisappear(animated);
    saveCurrentInput();
}

void CalculateViewController::collectTextFields() {
    allFields.clear();
    for (const auto& subview : view()->subviews()) {
        const platform::UIView& candidate = *subview;
        if (typeid(candidate) != typeid(platform::DTTextField)) continue;
        const auto field = std::static_pointer_cast<platform::DTTextField>(subview);
        field->delegate = shared<CalculateViewController>();
        field->inputView = std::make_shared<platform::UIView>(platform::CGRect{0, 0, 0, 0});
        field->autocorrectionType = platform::UITextAutocorrectionType::no;
        field->inputAssistantItem.leadingBarButtonGroups.clear();
        field->inputAssistantItem.trailingBarButtonGroups.clear();
        for (const auto& [name, outlet] : kFieldOutlets) {
            if ((this->*outlet).lock() == field) {
                field->accessibilityIdentifier = name;
                break;
            }
        }
        allFields.push_back(field);
    }
    allIds.clear();
    for (const auto& [name, outlet] : kFieldOutlets)
        allIds.emplace_back(name);
    std::sort(allIds.begin(), allIds.end());
}

void CalculateViewController::configureTextFields() {
    errorManager.allFields.assign(allFields.begin(), allFields.end());
    errorManager.requiredAmountOfFields = requiredAmountOfTextFields;
    for (const auto& field : allFields) {
        field->floatPlaceholderColor = themeGold();
        field->floatPlaceholderActiveColor = themePaleYellow();
        field->floatingLabelShown = true;
        field->floatingLabelOffsetY = -12.0;
        field->floatingLabelFont = {"HelveticaNeue", 10};
        field->borderShown = true;
        field->borderColor = QuroColor::adaptiveGray();
    }
}

void CalculateViewController::setButtonIcons() {
    if (deleteButton) deleteButton->setImage(platform::Icon::arrowBack());
    if (calculateButton) calculateButton->setImage(platform::Icon::check());
}

void CalculateViewController::selectMode(int index) {
    const auto control = segmentedControl.lock();
    if (control) control->setSelectedSegmentIndex(index);
    if (index < 0 || index >= kLogarithmRuleCount) return;
    const auto& mode = kModes[index];
    if (const auto image = modeImageView.lock())
        image->setImage(platform::UIImage::named(mode.image));
    for (std::size_t i = 0; i < 4; ++i) {
        if (const auto field = (this->*kFieldOutlets[i].second).lock()) {
            field->setHidden(!mode.shows[i]);
        }
    }
}

void CalculateViewController::applySetupParameter(const std::string& key,
                                                  const platform::Object& value) {
    if (key != kInputCalculationSelectionKey) return;
    // A damaged entry that is not an integer restores no rule.
    if (const auto* index = value.getInteger()) selectMode(static_cast<int>(*index));
}

std::vector<std::shared_ptr<platform::DTTextField>> CalculateViewController::fieldsWithId(
    const std::string& id) const {
    std::vector<std::shared_ptr<platform::DTTextField>> fields;
    for (const auto& field : allFields) {
        if (field->accessibilityIdentifier == id) fields.push_back(field);
    }
    return fields;
}

void CalculateViewController::writeText(platform::UITextField& current, const std::string& text,
                                        std::size_t caret) {
    for (const auto& field : fieldsWithId(current.accessibilityIdentifier))
        field->setText(text);
    // The caret never leaves the text.
    const auto position = std::min(caret, platform::codePointCount(current.text()));
    current.setSelectedTextRange({position, position});
}

void CalculateViewController::handleKeypadKey(const platform::UIButton& key) {
    const auto field = currentTextField.lock();
    if (isCalculating || !field) return;
    typeKey(*field, key.title());
}

void CalculateViewController::typeKey(platform::UITextField& field, const std::string& title) {
    const auto selection = field.selectedTextRange();
    if (!selection) return;
    const std::size_t caret = selection->start;
    field.replace(*selection, "");
    // An empty field takes keys; only a field that is not being edited is left alone.
    if (!field.isFirstResponder()) {
        errorManager.updateFieldStates();
        return;
    }
    std::string text = field.text();
    std::size_t newCaret;
    if (title == "-") {
        if (text.find('-') != std::string::npos) {
            text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
            newCaret = caret == 0 ? 0 : caret - 1;
        } else {
            text.insert(0, "-");
            newCaret = caret + 1;
        }
    } else {
        text = replaceCodePoints(text, caret, caret, title);
        newCaret = caret + 1;
    }
    writeText(field, text, newCaret);
    errorManager.updateFieldStates();
}

void CalculateViewController::deleteBackward() {
    const auto field = currentTextField.lock();
    if (isCalculating || !field || field->text().empty()) return;
    const auto selection = field->selectedTextRange();
    if (!selection) return;
    const auto [start, end] = std::pair{selection->start, selection->end};
    if (start == 0 && end == 0) return;
    // A caret deletes the character before it, a selection itself.
    removeCharacters(*field, start == end ? platform::UITextRange{start - 1, start} : *selection);
}

void CalculateViewController::removeCharacters(platform::UITextField& field,
                                               platform::UITextRange range) {
    writeText(field, replaceCodePoints(field.text(), range.start, range.end, ""), range.start);
    errorManager.updateFieldStates();
}

void CalculateViewController::saveCurrentInput() {
    std::map<std::string, std::string> input;
    for (const auto& field : allFields) {
        if (!field->text().empty() && !field->accessibilityIdentifier.empty()) {
            input[field->accessibilityIdentifier] = field->text();
        }
    }
    auto& store = CalcManager::shared();
    store.currentCalculation = Calculation(std::move(input), "", {}, {});
    store.saveCurrentCalculations();
}

void CalculateViewController::setUpToolbar() {
    const auto toolbar = platform::toolbarController(*this);
    if (!toolbar) return;
    clearAllButton =
        std::make_shared<platform::IconButton>(localized("Clear"), QuroColor::primary());
    // "Avenier" names no installed face; the default font stands in.
    clearAllButton->titleFont = platform::UIFont::systemFont(14);
    std::weak_ptr<CalculateViewController> weak = shared<CalculateViewController>();
    clearAllButton->addTarget(platform::UIControlEvents::touchUpInside,
                              [weak](platform::UIControl&) {
                                  if (const auto self = weak.lock()) self->clearAll();
                              });
    clearAllButton->accessibilityIdentifier = "toolbarRemoveButton";
    toolbar->toolbar()->setTitle(localized("Calculate Title"));
    toolbar->toolbar()->setRightViews({clearAllButton});
}

void CalculateViewController::clearAll() {
    AppAnalytics::logEventWithName("tapped_clear");
    for (const auto& weak : errorManager.allFields) {
        if (const auto field = weak.lock()) field->borderColor = QuroColor::adaptiveGray();
    }
    if (isCalculating) return;
    const auto tabs = platform::tabsController(*this);
    std::shared_ptr<SolutionViewController> result;
    if (tabs && tabs->viewControllers().size() > 1) {
        result = std::dynamic_pointer_cast<SolutionViewController>(tabs->viewControllers()[1]);
    }
    if (result) {
        result->handleClearAllButton();
    } else {
        platform::NotificationCenter::defaultCenter().postNotificationName(
            kClearCurrentCalculationNotification);
    }
    for (const auto& field : allFields)
        field->setText("");
    errorManager.updateFieldStates();
    auto& store = CalcManager::shared();
    store.currentCalculation.reset();
    store.saveCurrentCalculations();
    store.currentSelectedCalculation.reset();
    store.saveCurrentCalculations();
    if (tabs) tabs->select(0);
}

void CalculateViewController::showManual() {
    ManualViewController::presentManual(*this, kManualImageName);
}

bool CalculateViewController::textFieldShouldBeginEditing(platform::UITextField& field) {
    currentTextField = field.shared<platform::UITextField>();
    return true;
}

bool CalculateViewController::shouldChangeCharacters(platform::UITextField& field,
                                                     platform::UITextRange range,
                                                     const std::string& replacement) {
    // No system keyboard shows, but a hardware one (or the browser's) still types: letters
    // would become variables of the formula.
    std::vector<std::string> keys;
    for (std::size_t at = 0; at < replacement.size();) {
        const auto decoded = platform::decodeUTF8(replacement, at);
        if (!decoded.valid) return false;
        keys.push_back(replacement.substr(at, decoded.length));
        if (!isKeypadCharacter(keys.back())) return false;
        at += decoded.length;
    }
    if (isCalculating) return false;
    // What the keyboard types is what the keypad would have typed: each character takes the
    // keypad's step ("-" changes the sign), and a deletion (Backspace or Delete) the back key's.
    // The screen makes the edit itself, so the field's own is declined.
    if (keys.empty()) {
        const auto length = platform::codePointCount(field.text());
        const auto start = std::min(range.start, length);
        removeCharacters(field, {start, std::clamp(range.end, start, length)});
    }
    for (const auto& key : keys)
        typeKey(field, key);
    return false;
}

bool CalculateViewController::calculate() {
    CalculatingScope calculating;
    for (const auto& weak : errorManager.allFields) {
        if (const auto field = weak.lock()) field->borderColor = QuroColor::adaptiveGray();
    }
    std::vector<std::string> texts;
    for (const auto& id : allIds) {
        std::string text;
        for (const auto& field : fieldsWithId(id)) {
            if (!field->isHidden()) {
                text = field->text();
                break;
            }
        }
        texts.push_back(std::move(text));
    }
    texts.resize(4);
    const auto control = segmentedControl.lock();
    const int rule = control ? control->selectedSegmentIndex() : 0;
    QuroLogarithmicIdentities identities;
    const auto result =
        identities.calculateIdentity(texts[0], kFieldIds[0], texts[1], kFieldIds[1], texts[2],
                                     kFieldIds[2], texts[3], kFieldIds[3], rule);
    if (result.errorText) {
        std::vector<std::shared_ptr<platform::DTTextField>> marked;
        const auto ids = result.errorFieldIds.value_or(std::vector<std::string>{});
        for (const auto& field : allFields) {
            if (std::find(ids.begin(), ids.end(), field->accessibilityIdentifier) != ids.end()) {
                marked.push_back(field);
            }
        }
        errorManager.handleInputError(*result.errorText, marked);
        return false;
    }
    storeCalculation(texts, result.latexString.value_or(""));
    const SolutionSteps steps = result.solutionSteps.value_or(SolutionSteps{});
    presentSolution(steps, std::vector<ChartDataList>{}, std::string(kManualImageName),
                    std::nullopt, kSolutionRowHeight);
    AppAnalytics::logEventWithName(
        "quro_calculate", {{"solutionSteps", stepsAsArray(steps)},
                           {"solutionStepsCount", static_cast<std::int64_t>(steps.size())}});
    return true;
}

void CalculateViewController::storeCalculation(const std::vector<std::string>& texts,
                                               const std::string& latexString) {
    std::map<std::string, std::string> input;
    for (std::size_t i = 0; i < allIds.size() && i < texts.size(); ++i)
        input[allIds[i]] = texts[i];
    const auto control = segmentedControl.lock();
    platform::Dictionary setup{
        {kInputCalculationSelectionKey, control ? control->selectedSegmentIndex() : 0},
        {kAppKeyParameter, kAppKey}};
    CalcManager::shared().insertCalculation(
        Calculation(std::move(input), latexString, {}, std::move(setup)));
}

void CalculateViewController::presentSolution(std::optional<SolutionSteps> steps,
                                              std::optional<std::vector<ChartDataList>> charts,
                                              std::optional<std::string> imageName,
                                              std::optional<std::map<int, double>> rowHeights,
                                              double rowHeight) {
    const auto tabs = platform::tabsController(*this);
    if (!tabs || tabs->viewControllers().size() < 2) return;
    const auto result =
        std::dynamic_pointer_cast<SolutionViewController>(tabs->viewControllers()[1]);
    if (!result || !steps) return;
    result->showSolution({std::move(*steps), charts.value_or(std::vector<ChartDataList>{}),
                          std::move(imageName), std::move(rowHeights), rowHeight});
    tabs->select(1);
}

void registerCalculateInterface() {
    static std::once_flag once;
    std::call_once(once, [] {
        platform::UIStoryboard::registerScene(kMainStoryboard, "CalculateViewController", [] {
            auto screen = std::make_shared<CalculateViewController>();
            screen->setViewLoader([](platform::UIViewController& vc) {
                auto& s = static_cast<CalculateViewController&>(vc);
                std::weak_ptr<CalculateViewController> weak = s.shared<CalculateViewController>();
                const auto bounds = platform::UIScreen::main().bounds;
                const double w = bounds.size.width, h = bounds.size.height;
                auto root = std::make_shared<platform::UIView>(bounds);
                root->setBackgroundColor(QuroColor::background());

                auto label =
                    std::make_shared<platform::UILabel>(platform::CGRect{16, 8, w - 32, 24});
                root->addSubview(label);
                s.fillInLabel = label;

                auto control = std::make_shared<platform::UISegmentedControl>(
                    platform::CGRect{16, 40, w - 32, 36});
                control->accessibilityIdentifier = "segmentedControl";
                for (int i = 0; i < kLogarithmRuleCount; ++i) {
                    control->insertSegment(platform::UIImage::named(kModes[i].segmentImage), i);
                }
                control->setSelectedSegmentIndex(0);
                control->addTarget(
                    platform::UIControlEvents::valueChanged, [weak](platform::UIControl& c) {
                        if (const auto self = weak.lock()) {
                            self->selectMode(static_cast<platform::UISegmentedControl&>(c)
                                                 .selectedSegmentIndex());
                        }
                    });
                root->addSubview(control);
                s.segmentedControl = control;

                auto image = std::make_shared<platform::UIImageView>(
                    platform::UIImage::named(kModes[0].image));
                image->setFrame({16, 84, w - 32, 72});
                image->contentMode = platform::UIViewContentMode::scaleAspectFit;
                root->addSubview(image);
                s.modeImageView = image;

                const double fieldWidth = (w - 48) / 2;
                const platform::CGRect fieldFrames[4] = {{16, 166, fieldWidth, 44},
                                                         {32 + fieldWidth, 166, fieldWidth, 44},
                                                         {16, 220, fieldWidth, 44},
                                                         {32 + fieldWidth, 220, fieldWidth, 44}};
                const char* placeholders[4] = {"a", "b", "u", "v"};
                for (std::size_t i = 0; i < 4; ++i) {
                    auto field = std::make_shared<platform::DTTextField>(fieldFrames[i]);
                    field->placeholder = placeholders[i];
                    field->setHidden(!kModes[0].shows[i]);
                    root->addSubview(field);
                    s.*kFieldOutlets[i].second = field;
                }

                auto keypad = std::make_shared<platform::UIStackView>(
                    platform::CGRect{16, 276, w - 32, 4 * 52});
                keypad->axis = platform::UILayoutConstraintAxis::vertical;
                keypad->distribution = platform::UIStackView::Distribution::fillEqually;
                keypad->spacing = 4;
                s.deleteButton = std::make_shared<platform::FlatButton>();
                s.deleteButton->accessibilityIdentifier = "deleteButton";
                s.deleteButton->addTarget(platform::UIControlEvents::touchUpInside,
                                          [weak](platform::UIControl&) {
                                              if (const auto self = weak.lock()) {
                                                  self->deleteBackward();
                                              }
                                          });
                std::shared_ptr<platform::UIStackView> row;
                for (std::size_t i = 0; i < std::size(kKeypadKeys); ++i) {
                    if (i % 4 == 0) {
                        row = std::make_shared<platform::UIStackView>();
                        row->distribution = platform::UIStackView::Distribution::fillEqually;
                        row->spacing = 4;
                        keypad->addArrangedSubview(row);
                    }
                    auto key = std::make_shared<platform::FlatButton>();
                    key->setTitle(kKeypadKeys[i]);
                    key->addTarget(
                        platform::UIControlEvents::touchUpInside, [weak](platform::UIControl& c) {
                            if (const auto self = weak.lock()) {
                                self->handleKeypadKey(static_cast<platform::UIButton&>(c));
                            }
                        });
                    row->addArrangedSubview(key);
                }
                row->addArrangedSubview(s.deleteButton);
                root->addSubview(keypad);
                s.keypadStackView = keypad;

                s.calculateButton = std::make_shared<platform::FlatButton>();
                s.calculateButton->setFrame({16, 492, w - 32, 48});
                s.calculateButton->accessibilityIdentifier = "calculateButton";
                s.calculateButton->addTarget(platform::UIControlEvents::touchUpInside,
                                             [weak](platform::UIControl&) {
                                                 const auto self = weak.lock();
                                                 if (self && !isCalculating) self->calculate();
                                             });
                root->addSubview(s.calculateButton);

                auto manual = std::make_shared<platform::FABButton>();
                manual->setFrame({w - 64, 552, 48, 48});
                manual->accessibilityIdentifier = "manualButton";
                manual->setImage(platform::Icon::info());
                manual->addTarget(platform::UIControlEvents::touchUpInside,
                                  [weak](platform::UIControl&) {
                                      if (const auto self = weak.lock()) self->showManual();
                                  });
                root->addSubview(manual);
                s.manualButton = manual;

                auto banner =
                    std::make_shared<platform::UIView>(platform::CGRect{0, h - 60, w, 60});
                root->addSubview(banner);
                s.bannerBackgroundView = banner;
                auto bottom = platform::NSLayoutConstraint::make(
                    root, platform::NSLayoutAttribute::bottom, platform::NSLayoutRelation::equal,
                    banner, platform::NSLayoutAttribute::bottom);
                platform::NSLayoutConstraint::activate({bottom});
                s.bottomBannerConstraint = bottom;
                return root;
            });
            return screen;
        });
    });
}

}  // namespace app
