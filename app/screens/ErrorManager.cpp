#include "app/screens/ErrorManager.h"

#include <iostream>

#include "app/core/Strings.h"
#include "app/services/AppAnalytics.h"
#include "app/services/QuroColor.h"
#include "app/services/Texts.h"
#include "app/services/ViewControllerHelpers.h"
#include "app/services/ViewManager.h"
#include "platform/foundation/SharedInstance.h"

namespace app {

std::vector<std::string> splitErrorText(const std::string& text) {
    return splitDroppingEmpty(text, kErrorArgumentSeparator);
}

ErrorManager& ErrorManager::shared() {
    return platform::SharedInstance<ErrorManager>::get();
}

void ErrorManager::updateFieldStates() {
    if (requiredAmountOfFields < 1) return;
    int filled = 0;
    std::vector<std::shared_ptr<platform::DTTextField>> empty;
    for (const auto& weak : allFields) {
        const auto field = weak.lock();
        if (!field) continue;
        const auto superview = field->superview();
        // The fields sit directly in the screen's view: a rule hides the field itself.
        if (!superview || superview->isHidden() || field->isHidden()) continue;
        field->setEnabled(true);
        field->boxLayer()->backgroundColor = QuroColor::enabledFieldBackground();
        if (!field->text().empty()) {
            ++filled;
        } else {
            empty.push_back(field);
        }
    }
    if (filled < requiredAmountOfFields) return;
    for (const auto& field : empty) {
        field->setEnabled(false);
        field->boxLayer()->backgroundColor = QuroColor::disabledFieldBackground();
    }
}

void ErrorManager::handleInputError(
    const std::string& text, const std::vector<std::shared_ptr<platform::DTTextField>>& fields) {
    AppAnalytics::logEventWithName("quro_got_error", {{"error_case", text}});
    const bool missingInput = text == "notEnoughInputValues";
    if (missingInput) {
        std::cout << "INPUT: NOT ENOUGH INPUT VALUES\n";
    } else {
        std::cout << "INPUT ERROR: " << text << "\n";
    }
    for (const auto& field : fields) {
        field->borderColor =
            missingInput ? platform::UIColor::systemOrange() : platform::UIColor::systemRed();
    }
    showInputErrorAlert(text);
}

void ErrorManager::showInputErrorAlert(const std::string& text) {
    const auto pieces = splitErrorText(text);
    if (pieces.empty()) return;
    const auto& key = pieces.front();
    if (key == "oppositionError") {
        const auto window = ViewManager::keyWindow();
        const auto root = window ? window->rootViewController() : nullptr;
        if (!root) return;
        showAlert(*root, localized("error"), localized("oppositionError"));
        return;
    }
    if (key == "mustBeBiggerThanXAndLessThanY") {
        if (pieces.size() != 3) return;
        ViewManager::showToast(
            replaceAll(replaceAll(localized(key), "%0", pieces[1]), "%1", pieces[2]));
        return;
    }
    if (key == "mustBeGreatherThanX" || key == "mustBeLessThanX") {
        if (pieces.size() != 2) return;
        ViewManager::showToast(replaceAll(localized(key), "%0", pieces[1]));
        return;
    }
    ViewManager::showToast(localized(key));
}

}  // namespace app
