#pragma once

// Input errors as the user meets them: the faulty fields change colour, a short message shows and
// the app logs "quro_got_error". Also keeps the fields' enabled state in step with how many of
// them are filled. Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "platform/kits/DTTextField.h"

namespace app {

inline constexpr char kErrorArgumentSeparator[] = "\u00a7";

// The pieces of an error text: split at every "§", empty pieces dropped; the first is the key.
std::vector<std::string> splitErrorText(const std::string& text);

class ErrorManager {
  public:
    static ErrorManager& shared();

    // The calculate screen's input fields, in field order (held weakly: the screen owns them).
    std::vector<std::weak_ptr<platform::DTTextField>> allFields;
    int requiredAmountOfFields = 0;

    void updateFieldStates();
    // Logs the error, marks `fields` (orange for missing input, red otherwise) and shows the
    // message.
    void handleInputError(const std::string& text,
                          const std::vector<std::shared_ptr<platform::DTTextField>>& fields);
    void showInputErrorAlert(const std::string& text);
};

}  // namespace app
