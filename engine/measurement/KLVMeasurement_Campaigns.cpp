// Campaigns of opened links: the campaign parameters of a URL's query become a "_cmp" (or, for a
// replayed launch link, "_cmpx") event of origin "auto"; a link that launched the app is kept
// until the start replays it.

#include <array>
#include <string_view>
#include <utility>

#include "engine/base/KLVDictionaryQuery.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/stores/KLVDeepLinkCache.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "engine/stores/KLVUserDefaults.h"
#include "platform/foundation/URL.h"
#include "platform/utilities/WDLAppEnvironmentUtil.h"

namespace engine {

using platform::Dictionary;
using platform::Object;

namespace {

// URL parameter to event parameter.
constexpr std::array<std::pair<std::string_view, std::string_view>, 19> kCampaignParameters = {{
    {"aclid", "aclid"},
    {"anid", "anid"},
    {"utm_campaign", "campaign"},
    {"cis", "_cis"},
    {"utm_content", "content"},
    {"cp1", "cp1"},
    {"xclid", "xclid"},
    {"nad_source", "nad_source"},
    {"nclid", "nclid"},
    {"nbraid", "nbraid"},
    {"utm_medium", "medium"},
    {"utm_source", "source"},
    {"srsltid", "srsltid"},
    {"utm_term", "term"},
    {"utm_id", "campaign_id"},
    {"utm_creative_format", "creative_format"},
    {"utm_marketing_tactic", "marketing_tactic"},
    {"utm_source_platform", "source_platform"},
    {"sfmc_id", "sfmc_id"},
}};

// A parameter dictionary is a campaign only with one of these.
constexpr std::array<std::string_view, 10> kRequiredParameters = {
    "utm_campaign", "nclid", "utm_medium", "utm_source", "nbraid",
    "utm_id",       "xclid", "srsltid",    "sfmc_id",    "nad_source"};

// Click identifiers, recorded only when allowed.
constexpr std::array<std::string_view, 3> kClickIDParameters = {"nclid", "xclid", "srsltid"};

constexpr char kNotSet[] = "(not set)";

const std::string* nonEmptyString(const Dictionary& d, std::string_view key) {
    const auto it = d.find(key);
    if (it == d.end()) return nullptr;
    const auto* text = it->second.getString();
    return text && !text->empty() ? text : nullptr;
}

bool isOne(const Object& value) {
    if (const auto* i = value.getInteger()) return *i == 1;
    if (const auto* d = value.getDouble()) return *d == 1.0;
    if (const auto* b = value.getBool()) return *b;
    return false;
}

}  // namespace

bool KLVMeasurement::isValidCampaignURLParamDictionary(const Dictionary& parameters) {
    for (const auto key : kRequiredParameters) {
        if (nonEmptyString(parameters, key)) return true;
    }
    return false;
}

bool KLVMeasurement::shouldAllowClickID() {
    if (!platform::WDLAppEnvironmentUtil::isPhoneOSVersionAtLeast(14, 0)) return true;
    const auto identity = this->identity();
    if (!identity) return false;
    if (const auto id = identity->resettableDeviceID(); id && !id->empty()) return true;
    return identity->appleConsentStatus() == kKLVTrackingAuthorized;
}

void KLVMeasurement::handleOpenURLOnWorkerQueue(const std::string& url,
                                                std::optional<std::int64_t> clickTimestampInMs,
                                                double eventTimestampInSeconds,
                                                const Dictionary& extraParameters) {
    KLVScheduler::checkOnWorkerQueue(
        "handleOpenURLOnWorkerQueue:clickTimestampInMs:eventTimestampInSeconds:extraParameters:");
    auto& monitor = engine::monitor();
    // 1, 2. Extra texts under the query; extra numbers go over the event parameters.
    Dictionary urlParameters;
    Dictionary numberParameters;
    for (const auto& [key, value] : extraParameters) {
        if (value.getString()) {
            urlParameters[key] = value;
        } else if (const auto* b = value.getBool()) {
            numberParameters[key] = Object(std::int64_t{*b ? 1 : 0});
        } else if (value.isNumber()) {
            numberParameters[key] = value;
        }
    }
    const platform::URL parsed(url);
    if (parsed.query()) {
        for (auto& [key, value] : klv_dictionaryWithHttpArgumentsString(*parsed.query())) {
            urlParameters[key] = std::move(value);
        }
    }
    // 3.
    if (urlParameters.empty()) {
        monitor.logWithLevel(kKLVLogDebug, 23000, "Deep Link Web URL query is empty");
        return;
    }
    if (!isValidCampaignURLParamDictionary(urlParameters)) {
        monitor.logWithLevel(kKLVLogWarning, 23001,
                             "Deep Link does not contain valid required params. URL params",
                             Object(urlParameters));
        return;
    }
    // 4, 5.
    Dictionary eventParameters;
    for (const auto& [urlName, eventName] : kCampaignParameters) {
        if (const auto* value = nonEmptyString(urlParameters, urlName)) {
            eventParameters[std::string(eventName)] = *value;
        }
    }
    if (!shouldAllowClickID()) {
        for (const auto name : kClickIDParameters) {
            if (const auto it = eventParameters.find(name); it != eventParameters.end()) {
                eventParameters.erase(it);
            }
        }
    }
    // 6.
    for (const auto& [key, value] : numberParameters) {
        eventParameters[key] = value;
    }
    if (clickTimestampInMs) eventParameters["click_timestamp"] = *clickTimestampInMs;
    // 7. Never before first open.
    const double firstOpen =
        static_cast<double>(persistedConfig()->firstOpenTimestampMilliseconds()) / 1000.0;
    const double eventTime = std::max(firstOpen, eventTimestampInSeconds);
    // 8.
    if (const auto* nbraid = nonEmptyString(eventParameters, "nbraid")) {
        if (const auto attribute = KLVUserAttribute::initWithOrigin(
                "auto", "_nbraid", KLVValue::initWithString(*nbraid), eventTime)) {
            setUserPropertyInDatabaseOnWorkerQueue(*attribute);
        }
    }
    // 9. The internal entry also tells the event listeners.
    const auto cc = eventParameters.find("_cc");
    const bool replayed = cc != eventParameters.end() && isOne(cc->second);
    if (auto event = KLVEvent::initWithOrigin("auto", false, replayed ? "_cmpx" : "_cmp", eventTime,
                                              0, eventParameters)) {
        handleInternalEventOnWorkerQueue(std::move(*event));
    }
}

void KLVMeasurement::reportStoredCampaignEventOnWorkerQueue(
    std::optional<std::int64_t> clickTimestampMs) {
    KLVScheduler::checkOnWorkerQueue("reportStoredCampaignEventOnWorkerQueue:");
    auto& defaults = KLVUserDefaults::sharedUserDefaults();
    const Object stored = defaults.objectForKey(kKLVDeepLinkKey);
    const auto* link = stored.getString();
    if (!link || link->empty()) return;
    const double storedSeconds =
        defaults.objectForKey(kKLVDeepLinkTimestampKey).numberAsDouble().value_or(0);
    std::string text = *link;
    Dictionary extras;
    if (KLVIsStoredDeepLinkExpired(defaults, remoteConfig()->attributionCacheTTLInterval())) {
        text = kNotSet;
        extras = {{"utm_source", kNotSet}, {"utm_medium", kNotSet}, {"_cc", std::int64_t{1}}};
    } else {
        extras = {{"_cc", KLVStartOfPreviousHourMillis(
                              static_cast<std::int64_t>(storedSeconds * 1000.0))}};
    }
    KLVRemoveStoredDeepLink(defaults);
    handleOpenURLOnWorkerQueue(text, clickTimestampMs, storedSeconds, extras);
}

void KLVMeasurement::handleStoredURLAfterAppLaunchWithNotification(const Dictionary& userInfo) {
    auto& defaults = KLVUserDefaults::sharedUserDefaults();
    bool stored = false;
    const auto activities =
        userInfo.find(platform::UIApplicationLaunchOptionsUserActivityDictionaryKey);
    if (activities != userInfo.end()) {
        if (const auto* d = activities->second.getDictionary(); d && !d->empty()) {
            std::optional<platform::NSUserActivity> activity;
            if (const auto it = d->find(platform::UIApplicationLaunchOptionsUserActivityKey);
                it != d->end()) {
                activity = platform::NSUserActivity::fromObject(it->second);
            }
            const auto link = deepLinkFromUserActivity(activity ? &*activity : nullptr);
            if (link && !link->empty()) {
                KLVStoreDeepLink(defaults, *link);
                stored = true;
            }
        }
    }
    if (stored) return;
    if (const auto* url = nonEmptyString(userInfo, platform::UIApplicationLaunchOptionsURLKey)) {
        KLVStoreDeepLink(defaults, *url);
    }
}

}  // namespace engine
