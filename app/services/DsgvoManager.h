#pragma once

// The two privacy consents: the general notice (accept only) and the consent to load tutorial
// videos from the video service (accept or decline). Both are alerts scheduled on the main
// queue; the answers go to the standard user defaults.

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/UIViewController.h"

namespace app {

inline constexpr char kIsDsgvoAcceptedKey[] = "isDsgvoAccepted";
inline constexpr char kIsVidmoraDsgvoAcceptedKey[] = "isVidmoraDsgvoAccepted";

class DsgvoManager {
  public:
    DsgvoManager() = delete;

    static void showPrivacyAlertOnMainQueue(std::shared_ptr<platform::UIViewController> presenter,
                                            std::function<void()> completion = nullptr);
    static void showVideoPrivacyAlertOnMainQueue(
        std::shared_ptr<platform::UIViewController> presenter,
        std::function<void()> onAccept = nullptr, std::function<void()> onDecline = nullptr);
    static void saveConsent(bool value, const std::string& key,
                            const std::function<void()>& then = nullptr);
};

}  // namespace app
