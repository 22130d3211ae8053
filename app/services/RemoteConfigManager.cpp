#include "app/services/RemoteConfigManager.h"

#include <algorithm>
#include <iostream>

#include "app/services/AppIdentity.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Json.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/SystemLocale.h"

namespace app {

namespace {

constexpr char kAppsKey[] = "apps";
constexpr char kAdsKey[] = "ads";
constexpr char kOffersKey[] = "offers";
constexpr char kZirReferenceDataKey[] = "zirReferenceData";
constexpr char kVideoTutorialsKey[] = "videoTutorials";

std::string_view textOf(const platform::Data& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void post(const char* name) {
    platform::NotificationCenter::defaultCenter().postNotificationName(name);
}

// The default app list of the main bundle, in its JSON form; nothing (printed when the file
// cannot be read or converted) otherwise.
std::optional<AllAppMetaData> defaultApps() {
    const auto path =
        platform::Bundle::mainBundle().pathForResource(kRemoteConfigDefaultsResource, "plist");
    if (!path) return std::nullopt;
    platform::Error error;
    const auto root = platform::readPropertyListFile(*path, &error);
    if (!root) {
        consolePrint(error.description);
        return std::nullopt;
    }
    if (!root->isDictionary()) {
        consolePrint("RemoteConfigDefaults: the root is not a dictionary");
        return std::nullopt;
    }
    const auto json = platform::writeJSON(*root, platform::JSONWriting::PrettyPrinted, &error);
    if (!json) {
        consolePrint(error.description);
        return std::nullopt;
    }
    return decodeDocument<AllAppMetaData>(*json);
}

bool containsIdentifier(const AppMetaData& app, const std::string& identifier) {
    return std::find(app.appIdentifiers.begin(), app.appIdentifiers.end(), identifier) !=
           app.appIdentifiers.end();
}

}  // namespace

void consolePrint(const std::string& line) {
    std::cout << line << std::endl;
}

RemoteConfigManager::RemoteConfigManager()
    : remoteConfig_(&platform::TRWRemoteConfig::remoteConfig()) {
    platform::TRWRemoteConfigSettings settings;
    settings.minimumFetchInterval = 0;
    remoteConfig_->setConfigSettings(settings);
}

RemoteConfigManager& RemoteConfigManager::shared() {
    return platform::SharedInstance<RemoteConfigManager>::get();
}

template <typename T>
std::optional<T> RemoteConfigManager::decodeValue(const platform::Data& bytes) {
    // A missing document is no decoding error: reloadAll() reports them together.
    if (bytes.empty()) return std::nullopt;
    platform::Error error;
    auto value = decodeDocument<T>(textOf(bytes), &error);
    if (!value) consolePrint(error.description);
    return value;
}

template std::optional<AllAppMetaData> RemoteConfigManager::decodeValue(const platform::Data&);
template std::optional<QuroAdsDocument> RemoteConfigManager::decodeValue(const platform::Data&);
template std::optional<OffersDocument> RemoteConfigManager::decodeValue(const platform::Data&);
template std::optional<ZirReferenceData> RemoteConfigManager::decodeValue(const platform::Data&);
template std::optional<VideoTutorialsDocument> RemoteConfigManager::decodeValue(
    const platform::Data&);

void RemoteConfigManager::reloadAll(platform::TRWRemoteConfig& config) {
    loadApps(config);
    loadAds(config);
    loadOffers(config);
    loadZirReferenceData(config);
    loadVideoTutorials(config);
    warnOnceAboutMissingDocuments(config);
}

void RemoteConfigManager::warnOnceAboutMissingDocuments(platform::TRWRemoteConfig& config) {
    // Nothing fetched yet (or the service cannot be reached) is the normal state of an offline
    // machine: one line says so, instead of a decoding error for each missing document.
    std::string missing;
    for (const char* key :
         {kAppsKey, kAdsKey, kOffersKey, kZirReferenceDataKey, kVideoTutorialsKey}) {
        if (!config.configValueForKey(key).dataValue().empty()) continue;
        missing += missing.empty() ? "" : ", ";
        missing += key;
    }
    {
        std::lock_guard lock(mutex_);
        if (missing.empty() || warnedAboutMissingDocuments_) return;
        warnedAboutMissingDocuments_ = true;
    }
    consolePrint("warning: no remote configuration (" + missing +
                 "): not fetched yet, or the service cannot be reached; the built-in defaults "
                 "stand in");
}

void RemoteConfigManager::loadApps(platform::TRWRemoteConfig& config) {
    const auto bytes = config.configValueForKey(kAppsKey).dataValue();
    auto decoded = decodeDocument<AllAppMetaData>(textOf(bytes));
    if (!decoded) decoded = defaultApps();
    if (!decoded) return;
    {
        std::lock_guard lock(mutex_);
        apps_ = std::move(decoded->apps);
    }
    post(kDidLoadMenuNotification);
}

void RemoteConfigManager::loadAds(platform::TRWRemoteConfig& config) {
    auto value = decodeValue<QuroAdsDocument>(config.configValueForKey(kAdsKey).dataValue());
    if (!value) return;
    {
        std::lock_guard lock(mutex_);
        ads_ = std::move(*value);
    }
    post(kDidLoadQuroAdsNotification);
}

void RemoteConfigManager::loadOffers(platform::TRWRemoteConfig& config) {
    auto value = decodeValue<OffersDocument>(config.configValueForKey(kOffersKey).dataValue());
    if (!value) return;
    {
        std::lock_guard lock(mutex_);
        offers_ = std::move(*value);
    }
    post(kDidLoadOffersNotification);
}

void RemoteConfigManager::loadZirReferenceData(platform::TRWRemoteConfig& config) {
    auto value =
        decodeValue<ZirReferenceData>(config.configValueForKey(kZirReferenceDataKey).dataValue());
    if (!value) return;
    {
        std::lock_guard lock(mutex_);
        zirReferenceData_ = std::move(*value);
    }
    post(kDidLoadZirReferenceDataNotification);
}

void RemoteConfigManager::loadVideoTutorials(platform::TRWRemoteConfig& config) {
    auto value = decodeValue<VideoTutorialsDocument>(
        config.configValueForKey(kVideoTutorialsKey).dataValue());
    if (!value) return;
    {
        std::lock_guard lock(mutex_);
        videoTutorials_ = std::move(*value);
    }
    post(kDidLoadVideoTutorialsNotification);
}

void RemoteConfigManager::handleFetchResult(platform::TRWRemoteConfigFetchStatus status,
                                            const std::optional<platform::Error>& error) {
    // The manager lives for the process (only a test reset ends it), so the blocks look it up
    // again instead of holding it.
    const auto reloadOnMain = [] {
        platform::mainQueue().async([] {
            auto& manager = RemoteConfigManager::shared();
            manager.reloadAll(manager.remoteConfig());
        });
    };
    if (error) {
        reloadOnMain();
        return;
    }
    if (status == platform::TRWRemoteConfigFetchStatus::success) {
        remoteConfig_->activateWithCompletion(
            [reloadOnMain](bool, std::optional<platform::Error>) { reloadOnMain(); });
        return;
    }
    consolePrint("Config not fetched");
    consolePrint("Error: No error available.");
}

std::vector<AppMetaData> RemoteConfigManager::apps() const {
    std::lock_guard lock(mutex_);
    return apps_;
}

QuroAdsDocument RemoteConfigManager::ads() const {
    std::lock_guard lock(mutex_);
    return ads_;
}

OffersDocument RemoteConfigManager::offers() const {
    std::lock_guard lock(mutex_);
    return offers_;
}

std::optional<ZirReferenceData> RemoteConfigManager::zirReferenceData() const {
    std::lock_guard lock(mutex_);
    return zirReferenceData_;
}

std::optional<VideoTutorialsDocument> RemoteConfigManager::videoTutorials() const {
    std::lock_guard lock(mutex_);
    return videoTutorials_;
}

std::vector<AppMetaData> RemoteConfigManager::menuApps(bool multi) const {
    const auto identifier = mainBundleIdentifier();
    if (identifier.empty()) return {};
    std::vector<AppMetaData> result;
    for (const auto& app : apps()) {
        if (!app.shouldShow || app.isMultiApp.value_or(false) != multi) continue;
        if (containsIdentifier(app, identifier)) continue;
        result.push_back(app);
    }
    return result;
}

std::vector<AppMetaData> RemoteConfigManager::singleApps() const {
    return menuApps(false);
}

std::vector<AppMetaData> RemoteConfigManager::multiApps() const {
    return menuApps(true);
}

std::optional<AppMetaData> RemoteConfigManager::currentApp() {
    std::lock_guard lock(mutex_);
    if (currentApp_) return currentApp_;
    const auto identifier = mainBundleIdentifier();
    if (identifier.empty()) return std::nullopt;
    for (const auto& app : apps_) {
        if (containsIdentifier(app, identifier)) {
            currentApp_ = app;
            break;
        }
    }
    return currentApp_;
}

std::vector<std::string> RemoteConfigManager::videoTutorialLinks(
    std::optional<CalculationType> type) const {
    if (!type) return {};
    const auto document = videoTutorials();
    if (!document) return {};
    const auto entry = document->find(calculationShortCode(*type));
    if (entry == document->end()) return {};
    const auto& byLanguage = entry->second;
    const auto language = supportedLanguageCode();
    std::vector<std::string> links;
    if (const auto own = byLanguage.find(language); own != byLanguage.end()) links = own->second;
    if (language == "en") return links;
    if (const auto en = byLanguage.find("en"); en != byLanguage.end())
        links.insert(links.end(), en->second.begin(), en->second.end());
    return links;
}

std::string supportedLanguageCode() {
    const auto languages = platform::preferredLanguages();
    if (languages.empty()) return "en";
    const auto& tag = languages.front();
    const auto code = tag.substr(0, tag.find_first_of("-_"));
    for (const char* supported : kSupportedLanguageCodes) {
        if (code == supported) return code;
    }
    return "en";
}

}  // namespace app
