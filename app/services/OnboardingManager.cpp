#include "app/services/OnboardingManager.h"

#include <mutex>

#include "app/core/Strings.h"
#include "app/services/AppIdentity.h"
#include "app/services/ColorManager.h"
#include "app/services/QuroColor.h"
#include "app/services/Texts.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/UIControl.h"

namespace app {

namespace {

struct PageSpec {
    const char* imageName;
    const char* textKey;
};

constexpr PageSpec kMainPages[] = {
    {"main_onboarding_1", "onboardingA"},   {"single_onboarding_2", "onboardingB"},
    {"single_onboarding_3", "onboardingC"}, {"single_onboarding_4", "onboardingD"},
    {"main_onboarding_4", "onboardingE"},
};

constexpr PageSpec kVidmoraPages[] = {
    {"onboarding_vidmora_1", "onboardingVidmora1"}, {"onboarding_vidmora_2", "onboardingVidmora2"},
    {"onboarding_vidmora_3", "onboardingVidmora3"}, {"onboarding_vidmora_4", "onboardingVidmora4"},
    {"onboarding_vidmora_5", "onboardingVidmora5"},
};

template <std::size_t N>
std::vector<OnboardingPageRow> buildTable(const PageSpec (&pages)[N]) {
    std::vector<OnboardingPageRow> rows;
    for (const auto& page : pages) {
        rows.push_back(
            {"", page.imageName, "", platform::Bundle::mainBundle().localizedString(page.textKey)});
    }
    return rows;
}

struct Tables {
    std::once_flag mainOnce, vidmoraOnce;
    std::vector<OnboardingPageRow> main, vidmora;
};

}  // namespace

const std::vector<OnboardingPageRow>& onboardingPages() {
    auto& tables = platform::SharedInstance<Tables>::get();
    std::call_once(tables.mainOnce, [&] { tables.main = buildTable(kMainPages); });
    return tables.main;
}

const std::vector<OnboardingPageRow>& vidmoraOnboardingPages() {
    auto& tables = platform::SharedInstance<Tables>::get();
    std::call_once(tables.vidmoraOnce, [&] { tables.vidmora = buildTable(kVidmoraPages); });
    return tables.vidmora;
}

std::vector<platform::OnboardPage> OnboardingManager::pageItems(
    const std::vector<OnboardingPageRow>& table) const {
    const auto& bundle = platform::Bundle::mainBundle();
    // Appended piece by piece: g++ 12 at -O3 misreads "\"" + text as an overlapping copy.
    std::string quotedTitle(1, '"');
    quotedTitle += appDisplayTitle();
    quotedTitle += '"';
    std::vector<platform::OnboardPage> items;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto& row = table[i];
        const bool last = i + 1 == table.size();
        platform::OnboardPage page;
        page.title = row.title;
        page.imageName = row.imageName;
        page.subtitle = row.secondText;
        page.description = replaceAll(row.text, kAppNamePlaceholder, quotedTitle);
        page.advanceButtonTitle = bundle.localizedString(last ? "letsStart" : "next");
        items.push_back(std::move(page));
    }
    return items;
}

platform::OnboardAppearanceConfiguration OnboardingManager::appearanceConfiguration() const {
    platform::OnboardAppearanceConfiguration configuration;
    const auto tint = isDarkMode() ? themePaleYellow() : themeGold();
    configuration.tintColor = tint;
    configuration.titleColor = QuroColor::label();
    configuration.textColor = QuroColor::label();
    configuration.backgroundColor = QuroColor::background();
    configuration.imageContentMode = platform::UIViewContentMode::center;
    configuration.titleFont = platform::UIFont{"TextStyle-Title1", 28};
    configuration.textFont = platform::UIFont{"TextStyle-Body", 17};
    configuration.advanceButtonStyling = [tint](platform::UIButton& button) {
        button.setTitleColor(tint);
        button.titleFont = platform::UIFont{"System-Semibold", 20};
        applyLightShadow(*button.layer());
    };
    return configuration;
}

void OnboardingManager::finishOnboarding(const std::function<void()>& then) const {
    platform::UserDefaults::standardUserDefaults().setBool(true, kIsOnboardingFinishedKey);
    if (then) then();
}

std::shared_ptr<platform::OnboardViewController> makeOnboardViewController(
    const std::vector<OnboardingPageRow>& table) {
    const OnboardingManager manager;
    return std::make_shared<platform::OnboardViewController>(
        manager.pageItems(table), manager.appearanceConfiguration(),
        [] { OnboardingManager().finishOnboarding(); });
}

}  // namespace app
