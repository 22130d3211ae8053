#pragma once

// The app's remotely configured content: the product family's apps, house advertisements,
// offers, consent reference data and tutorial links, each the last value that decoded. Every
// successful load posts its notification to the default centre.
//
// The loads may run on the remote-configuration service's queue; each field is replaced whole
// under a lock, and the readers on the main thread take copies.

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/services/CalculationType.h"
#include "app/services/RemoteConfigModels.h"
#include "platform/host/TRWRemoteConfig.h"

namespace app {

inline constexpr char kDidLoadMenuNotification[] = "didLoadMenu";
inline constexpr char kDidLoadQuroAdsNotification[] = "didLoadQuroAds";
inline constexpr char kDidLoadOffersNotification[] = "didLoadOffers";
inline constexpr char kDidLoadZirReferenceDataNotification[] = "didLoadZirReferenceData";
inline constexpr char kDidLoadVideoTutorialsNotification[] = "didLoadVideoTutorialsData";
inline constexpr char kRemoteConfigDefaultsResource[] = "RemoteConfigDefaults";

// The supported language codes, in table order.
inline constexpr const char* kSupportedLanguageCodes[] = {"de", "zh", "ja", "en", "es", "ko",
                                                          "pt", "ru", "fr", "id", "hi"};

class RemoteConfigManager {
  public:
    // Installs settings with a minimum fetch interval of 0 on the service.
    RemoteConfigManager();
    static RemoteConfigManager& shared();

    platform::TRWRemoteConfig& remoteConfig() const { return *remoteConfig_; }

    // The five loads in the order "apps", "ads", "offers", "zirReferenceData",
    // "videoTutorials".
    void reloadAll(platform::TRWRemoteConfig& config);
    void loadApps(platform::TRWRemoteConfig& config);
    void loadAds(platform::TRWRemoteConfig& config);
    void loadOffers(platform::TRWRemoteConfig& config);
    void loadZirReferenceData(platform::TRWRemoteConfig& config);
    void loadVideoTutorials(platform::TRWRemoteConfig& config);
    // The completion of the fetch on becoming active. The reloads run on the main queue, where
    // the menu and the screens read the lists.
    void handleFetchResult(platform::TRWRemoteConfigFetchStatus status,
                           const std::optional<platform::Error>& error);

    // The bytes decoded as T; a failure prints its description and gives nothing. No bytes (a
    // document that was never fetched) give nothing without a line.
    template <typename T>
    static std::optional<T> decodeValue(const platform::Data& bytes);

    std::vector<AppMetaData> apps() const;
    QuroAdsDocument ads() const;
    OffersDocument offers() const;
    std::optional<ZirReferenceData> zirReferenceData() const;
    std::optional<VideoTutorialsDocument> videoTutorials() const;

    // The side menu's lists, without this app.
    std::vector<AppMetaData> singleApps() const;
    std::vector<AppMetaData> multiApps() const;
    // This app's entry; the first one found stays for the process.
    std::optional<AppMetaData> currentApp();
    std::vector<std::string> videoTutorialLinks(std::optional<CalculationType> type) const;

  private:
    std::vector<AppMetaData> menuApps(bool multi) const;
    // One line per process naming the documents the configuration does not hold.
    void warnOnceAboutMissingDocuments(platform::TRWRemoteConfig& config);

    platform::TRWRemoteConfig* remoteConfig_;
    mutable std::mutex mutex_;
    std::optional<AppMetaData> currentApp_;
    std::vector<AppMetaData> apps_;
    QuroAdsDocument ads_;
    OffersDocument offers_;
    std::optional<ZirReferenceData> zirReferenceData_;
    std::optional<VideoTutorialsDocument> videoTutorials_;
    bool warnedAboutMissingDocuments_ = false;
};

// The user's language when it is one of the supported codes, else "en".
std::string supportedLanguageCode();

// One console line (the app's print).
void consolePrint(const std::string& line);

}  // namespace app
