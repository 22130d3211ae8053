#pragma once

// The fixed user-visible words of the app: step titles, button texts, alert titles. Each is looked
// up once per process in the main bundle's localisation table; a key without a translation reads
// as the key itself.

#include <string>

namespace app {

// X(member, key, comment for translators)
#define APP_LOCALIZED_STRINGS(X)                                                              \
    X(fillInGivenNumbers, "Fill in your given numbers:", "Fill in your given numbers:")       \
    X(yourInput, "Your Input", "The input title in solution view")                            \
    X(expand, "Expand", "Expand")                                                             \
    X(modifiedInput, "Modified Input", "Modified Input")                                      \
    X(result, "Result", "The final result in solution view")                                  \
    X(recommendedVideoIfUnclear, "recommendedVideoIfUnclear", "Recommended video if unclear") \
    X(touchToUnlock, "touchTounlock", "Touch to unlock")                                      \
    X(insert, "Insert", "Insert")                                                             \
    X(cancel, "Cancel", "Cancel")                                                             \
    X(multiplication, "Multiplication", "to multiply")                                        \
    X(division, "Division", "to devide")                                                      \
    X(rate, "Rate", "Rate")                                                                   \
    X(send, "Send", "Send")                                                                   \
    X(close, "Close", "Close")                                                                \
    X(thanks, "Thanks", "Thanks")                                                             \
    X(error, "error", "Error")                                                                \
    X(cancelMath, "Cancel (math)", "Cancel (math)")                                           \
    X(extractRoot, "Extract a root", "Extract a root")                                        \
    X(calculatePower, "Calculate power", "Calculate power")                                   \
    X(calculateLogarithm, "Calculate logarithm", "Calculate logarithm")                       \
    X(choosenFormula, "Choosen Formula", "Choosen Formula")

class LocalizedString {
  public:
    LocalizedString() = delete;

#define APP_DECLARE_LOCALIZED_STRING(member, key, comment) static const std::string& member();
    APP_LOCALIZED_STRINGS(APP_DECLARE_LOCALIZED_STRING)
#undef APP_DECLARE_LOCALIZED_STRING
};

}  // namespace app
