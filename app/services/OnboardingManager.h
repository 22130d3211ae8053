#pragma once

// Turns the app's onboarding page tables into the onboarding kit's pages, gives them the app's
// appearance and records that onboarding was finished.

#include <functional>
#include <string>
#include <vector>

#include "platform/kits/OnboardViewController.h"

namespace app {

inline constexpr char kIsOnboardingFinishedKey[] = "isOnboardingFinished";
inline constexpr char kAppNamePlaceholder[] = "\u00a7appname";

// One page: title, image name, a second text and the page text (looked up when the table is
// built).
struct OnboardingPageRow {
    std::string title;
    std::string imageName;
    std::string secondText;
    std::string text;
};

// The main sequence and the video sequence, each built once per process.
const std::vector<OnboardingPageRow>& onboardingPages();
const std::vector<OnboardingPageRow>& vidmoraOnboardingPages();

class OnboardingManager {
  public:
    std::vector<platform::OnboardPage> pageItems(const std::vector<OnboardingPageRow>& table) const;
    // Built anew at each call, so it follows the appearance at that moment.
    platform::OnboardAppearanceConfiguration appearanceConfiguration() const;
    void finishOnboarding(const std::function<void()>& then) const;
    void finishOnboarding() const { finishOnboarding(nullptr); }
};

// A controller for `table` with the app's appearance; its completion finishes onboarding.
std::shared_ptr<platform::OnboardViewController> makeOnboardViewController(
    const std::vector<OnboardingPageRow>& table);

}  // namespace app
