// The deferred deep link: until one has been retrieved, the start may ask the ad-services back end
// once for the link an ad click meant to open the app with, hand it to the application delegate as
// if the app had been opened with it, and record its campaign.

#include <string>

#include "engine/base/KLVAEU.h"
#include "engine/base/KLVDictionaryQuery.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Json.h"
#include "platform/foundation/URL.h"
#include "platform/ui/UIApplication.h"

namespace engine {

using platform::Dictionary;
using platform::Error;
using platform::Object;

namespace {

constexpr char kDeferredDeepLinkEnabledKey[] = "NEXORY_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED";
constexpr char kDeferredDeepLinkPath[] = "/pagead/conversion/app/deeplink";
constexpr char kDebugDeferredDeepLinkArgument[] = "-DebugDeferredDeepLink";
// The answer is a small JSON object; anything larger is refused by the network component.
constexpr std::size_t kMaximumDeferredDeepLinkResponseSize = 64 * 1024;

// "&key=value" with the value percent-encoded.
std::string queryPair(const std::string& key, const std::string& value) {
    return "&" + klv_queryString(Dictionary{{key, value}});
}

}  // namespace

bool KLVMeasurement::shouldAllowRequestDeferredDeepLink() {
    auto& monitor = engine::monitor();
    const auto settings = remoteConfig();
    if (!settings->isDeferredDeepLinkEnabled()) {
        monitor.logWithLevel(kKLVLogWarningSilent, 23193, "Deferred Deep Link feature disabled");
        return false;
    }
    const Object enabled =
        platform::Bundle::mainBundle().objectForInfoDictionaryKey(kDeferredDeepLinkEnabledKey);
    const auto number = enabled.numberAsDouble();
    if (!number || *number == 0) return false;
    if (!persistedConfig()->deferredDeepLinkRetrievalComplete().isNull()) {
        monitor.logWithLevel(kKLVLogDebug, 23194, "Already retrieved Deferred Deep Link. Skipping");
        return false;
    }
    if (persistedConfig()->deferredDeepLinkRetryCount() >=
        settings->maxDeferredDeepLinkRetryCount()) {
        monitor.logWithLevel(kKLVLogWarning, 23195,
                             "Failed to retrieve Deferred Deep Link. Reached retry limit");
        persistedConfig()->setDeferredDeepLinkRetrievalComplete(Object(std::int64_t{1}));
        return false;
    }
    if (KLVConsentSettingsUtil::isAdStorageDenied()) {
        monitor.logWithLevel(kKLVLogWarning, 23252,
                             "IDFA unavailable to retrieve Deferred Deep Link due to denied ad "
                             "storage consent. Skipping");
        return false;
    }
    // Unknown counts as limited.
    const auto identity = this->identity();
    if (!identity || !identity->hasLimitedAdTracking() || identity->limitedAdTracking()) {
        monitor.logWithLevel(kKLVLogWarning, 23196,
                             "IDFA unavailable to retrieve Deferred Deep Link. Skipping");
        return false;
    }
    monitor.logWithLevel(kKLVLogDebug, 23197, "Deferred Deep Link feature enabled");
    return true;
}

std::optional<std::string> KLVMeasurement::deferredDeepLinkURL() {
    const auto host = KLVServerHosts::current().adServicesHost;
    const auto identity = this->identity();
    if (!host || !identity) return std::nullopt;
    std::string url = "https://" + *host + kDeferredDeepLinkPath + "?";
    url += klv_queryString(
        Dictionary{{"sdk_version", std::to_string(KLVIdentity::brackenfoldLibraryVersion())}});
    url += queryPair("rdid", identity->resettableDeviceID().value_or(""));
    url += queryPair("id_type", "idfa");
    url += queryPair("bundleid", identity->appID());
    url += queryPair("retry", std::to_string(persistedConfig()->deferredDeepLinkRetryCount()));
    if (!KLVAEU::isFAS() && KLVHasLaunchArgument(kDebugDeferredDeepLinkArgument))
        url += "&ddl_test=1";
    const auto settings = remoteConfig();
    if (settings->DMAConsentEnabled()) {
        if (const auto signals = KLVConsentSettingsUtil::consentSignals(); !signals.empty()) {
            url += queryPair("gcs", signals);
        }
        const bool dmaRegion = settings->isDMARegion();
        url += queryPair("dma", dmaRegion ? "1" : "0");
        if (KLVConsentSettingsUtil::isAdUserDataDenied()) {
            url += "&dma_cps=-";
        } else if (const auto services = settings->corePlatformServices();
                   dmaRegion && !services.empty()) {
            std::string joined;
            for (const auto& service : services)
                joined += service;  // a set: ascending
            url += queryPair("dma_cps", joined);
        }
        if (const auto personalization = KLVConsentSettingsUtil::adPersonalization()) {
            url += queryPair("npa", *personalization == 1 ? "0" : "1");
        }
    }
    return url;
}

void KLVMeasurement::requestDeferredDeepLink() {
    auto& monitor = engine::monitor();
    const auto url = deferredDeepLinkURL();
    if (!url) {
        monitor.logWithLevel(kKLVLogWarning, 23198,
                             "URL to retrieve Deferred Deep Link is invalid");
        return;
    }
    // One request at a time: while another is out, the next start asks again.
    if (!isNetworkReadyForRequest()) {
        monitor.logWithLevel(kKLVLogDebug, 23268,
                             "Network operation is pending. Request to retrieve Deferred Deep "
                             "Link postponed.");
        return;
    }
    setIsNetworkRequestPending(true);
    network()->setTimeoutInterval(remoteConfig()->networkTimeout());
    std::weak_ptr<KLVMeasurement> weak = weak_from_this();
    network()->getURL(*url, {}, kMaximumDeferredDeepLinkResponseSize, scheduler()->workerQueue(),
                      shouldUseBackgroundSession(),
                      [weak](std::optional<platform::WDLNetworkResponse> response,
                             platform::Data data, std::optional<Error> error) {
                          const auto self = weak.lock();
                          if (!self) return;
                          self->setIsNetworkRequestPending(false);
                          auto& monitor = engine::monitor();
                          const int code = response ? response->statusCode : 0;
                          if (!error && (code == platform::kWDLNetworkHTTPStatusOK ||
                                         code == platform::kWDLNetworkHTTPStatusNotModified ||
                                         code == platform::kWDLNetworkHTTPStatusNoContent)) {
                              self->persistedConfig()->setDeferredDeepLinkRetrievalComplete(
                                  Object(std::int64_t{0}));
                              if (const auto info = deepLinkInfoFromResponseData(data)) {
                                  monitor.logWithLevel(kKLVLogDebug, 23200,
                                                       "Successfully retrieved Deferred Deep Link");
                                  self->handleDeferredDeepLinkInfo(*info);
                              } else {
                                  self->updateSchedule();
                              }
                              return;
                          }
                          monitor.logWithLevel(
                              kKLVLogErrorMonitored, 23199,
                              "Failed to retrieve Deferred Deep Link. Will retry on next "
                              "launch. Code, error",
                              std::to_string(code), error ? error->description : std::string());
                          self->persistedConfig()->setDeferredDeepLinkRetryCount(
                              self->persistedConfig()->deferredDeepLinkRetryCount() + 1);
                          self->updateSchedule();
                      });
}

std::optional<Dictionary> KLVMeasurement::deepLinkInfoFromResponseData(const platform::Data& data) {
    auto& monitor = engine::monitor();
    if (data.empty()) {
        monitor.logWithLevel(kKLVLogVerbose, 23201, "Deferred Deep Link response is empty");
        return std::nullopt;
    }
    Error error;
    const auto parsed = platform::readJSON(
        std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), &error);
    if (!parsed) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 23202,
                             "Failed to parse Deferred Deep Link from JSON. Error", error);
        return std::nullopt;
    }
    const auto* object = parsed->getDictionary();
    if (!object) return std::nullopt;
    const auto link = object->find("deeplink");
    if (link == object->end() || !link->second.getString() ||
        !platform::URL(*link->second.getString()).isValid()) {
        return std::nullopt;
    }
    return *object;
}

void KLVMeasurement::handleDeferredDeepLinkInfo(const Dictionary& info) {
    const auto link = info.find("deeplink");
    if (link == info.end() || !link->second.getString()) return;
    const std::string url = *link->second.getString();
    Dictionary extras{{"cis", "ddp"}};
    for (const char* key : {"nclid", "nbraid"}) {
        if (const auto it = info.find(key); it != info.end() && it->second.getString()) {
            extras[key] = it->second;
        }
    }
    Dictionary options;
    if (const auto it = info.find("timestamp"); it != info.end() && !it->second.isNull()) {
        options["timestamp"] = it->second;
    }
    monitor().logWithLevel(kKLVLogVerbose, 23203, "Sending Deferred Deep Link to app delegate");
    const double now = platform::Clock::current().now();
    std::weak_ptr<KLVMeasurement> weak = weak_from_this();
    platform::mainQueue().async([weak, url, extras, options, now] {
        if (!sendDeepLinkURLToAppDelegateOnMainThread(url, options)) {
            monitor().logWithLevel(kKLVLogWarning, 23204,
                                   "App delegate not configured to handle Deferred Deep Link");
            return;
        }
        const auto self = weak.lock();
        if (!self) return;
        self->scheduleWeak("KLVMeasurement:368", [url, extras, now](KLVMeasurement& service) {
            service.handleOpenURLOnWorkerQueue(url, std::nullopt, now, extras);
        });
    });
}

bool KLVMeasurement::sendDeepLinkURLToAppDelegateOnMainThread(const std::string& url,
                                                              const Dictionary& extraInfo) {
    auto* application = KLVAEU::sharedApplication();
    if (!application) return false;
    const auto delegate = application->delegate();
    // A delegate that does not take URLs answers false.
    return delegate && delegate->applicationOpenURL(*application, url, extraInfo);
}

}  // namespace engine
