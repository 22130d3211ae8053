#include "engine/measurement/KLVSearchAdReporter.h"

#include <cmath>
#include <string_view>

#include "engine/base/KLVAEU.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/adsupport/AdServices.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Json.h"
#include "platform/utilities/WDLAppEnvironmentUtil.h"

namespace engine {

using platform::Dictionary;
using platform::Object;

namespace {

// The reply is a small JSON object; anything larger is refused by the client.
constexpr std::size_t kMaximumReplySize = 64 * 1024;

// An ID of the reply as decimal text: a whole number, or a text as it is; "" otherwise.
std::string idText(const Dictionary& reply, std::string_view key) {
    const auto it = reply.find(key);
    if (it == reply.end()) return "";
    const Object& value = it->second;
    if (const auto* i = value.getInteger()) return std::to_string(*i);
    if (const auto* d = value.getDouble()) {
        if (std::isfinite(*d) && std::trunc(*d) == *d && std::fabs(*d) < 9e15) {
            return std::to_string(static_cast<std::int64_t>(*d));
        }
        return "";
    }
    if (const auto* s = value.getString()) return *s;
    return "";
}

}  // namespace

KLVSearchAdReporter::KLVSearchAdReporter(Key, std::shared_ptr<platform::DispatchQueue> queue,
                                         std::shared_ptr<KLVPersistedConfig> persistedConfig)
    : queue_(queue),
      searchAdReporterAlarm_(std::make_shared<KLVAlarm>(queue, "Search Ad campaign report alarm")),
      persistedConfig_(std::move(persistedConfig)) {}

KLVSearchAdReporter::~KLVSearchAdReporter() {
    if (searchAdReporterAlarm_) searchAdReporterAlarm_->cancel();
}

std::shared_ptr<KLVSearchAdReporter> KLVSearchAdReporter::initWithWorkerQueue(
    std::shared_ptr<platform::DispatchQueue> queue,
    std::shared_ptr<KLVPersistedConfig> persistedConfig) {
    if (!queue) {
        monitor().logWithLevel(kKLVLogErrorSilent, 32000,
                               "Cannot init Search Ad reporter. Queue must be provided");
        return nullptr;
    }
    if (!persistedConfig) {
        monitor().logWithLevel(kKLVLogErrorSilent, 32001,
                               "Cannot init Search Ad reporter. Persisted config must be provided");
        return nullptr;
    }
    if (persistedConfig->searchAdRetryCount() >= kRetryLimit) return nullptr;
    if (!persistedConfig->searchAdCampaignValue().isNull()) {
        monitor().logWithLevel(kKLVLogDebug, 32002,
                               "Search Ad campaign attribution was already reported. Do not start "
                               "Search Ad Reporter.");
        return nullptr;
    }
    return std::make_shared<KLVSearchAdReporter>(Key{}, std::move(queue),
                                                 std::move(persistedConfig));
}

bool KLVSearchAdReporter::adClientInstance() {
    return platform::WDLAppEnvironmentUtil::isPhoneOSVersionAtLeast(14, 3) &&
           platform::AAAttribution::isAvailable();
}

void KLVSearchAdReporter::start() {
    if (!adClientInstance()) {
        monitor().logWithLevel(kKLVLogDebug, 32014,
                               "AdServices framework is not linked. Search Ad Attribution Reporter "
                               "is disabled.");
        return;
    }
    if (KLVAEU::isNOD()) {
        monitor().logWithLevel(kKLVLogDebug, 32019,
                               "Search Ad Attribution Reporter is disabled on the simulator");
        return;
    }
    // Without the service's host there is nowhere to ask.
    if (!KLVServerHosts::current().attributionHost) return;
    scheduleSearchAdReport();
}

std::optional<double> KLVSearchAdReporter::scheduledTimestamp() const {
    if (!searchAdReporterAlarm_) return std::nullopt;
    const auto when = searchAdReporterAlarm_->scheduledTimestamp();
    if (!when) return std::nullopt;
    return when->secondsSince1970;
}

void KLVSearchAdReporter::scheduleSearchAdReport() {
    if (!searchAdReporterAlarm_) {
        monitor().logWithLevel(kKLVLogWarningSilent, 32013,
                               "Search Ad Campaign attribution alarm is already canceled");
        return;
    }
    if (!isSearchAdReporterEnabled()) {
        searchAdReporterAlarm_->cancel();
        return;
    }
    if (!persistedConfig_->searchAdCampaignValue().isNull()) {
        monitor().logWithLevel(kKLVLogDebug, 32004,
                               "Search Ad report not scheduled. Search Ad campaign attribution was "
                               "already reported.");
        cancelScheduling();
        return;
    }
    if (searchAdReporterAlarm_->scheduledTimestamp()) {
        monitor().logWithLevel(kKLVLogWarningSilent, 32005,
                               "Search Ad Campaign attribution alarm is already scheduled");
        return;
    }
    if (persistedConfig_->searchAdRetryCount() >= kRetryLimit) {
        monitor().logWithLevel(kKLVLogWarningSilent, 32007,
                               "Search Ad Campaign attribution exceeds the max number of retries. "
                               "Do not schedule again.");
        cancelScheduling();
        return;
    }
    monitor().logWithLevel(kKLVLogDebug, 32006, "Scheduling Search Ad Report timer");
    const double now = platform::Clock::current().now();
    const double delay =
        kRetryInterval - std::fabs(now - persistedConfig_->lastSearchAdLookUpTimestamp());
    std::weak_ptr<KLVSearchAdReporter> weak = weak_from_this();
    searchAdReporterAlarm_->runAfterDelay(delay, [weak] {
        if (const auto self = weak.lock()) self->maybeLogIAdCampaignEvent();
    });
}

void KLVSearchAdReporter::cancelScheduling() {
    if (searchAdReporterAlarm_) searchAdReporterAlarm_->cancel();
    searchAdReporterAlarm_.reset();
}

void KLVSearchAdReporter::maybeLogIAdCampaignEvent() {
    if (!adClientInstance()) return;
    persistedConfig_->setLastSearchAdLookUpTimestamp(platform::Clock::current().now());
    fetchAttributionDetails();
    scheduleSearchAdReport();
}

void KLVSearchAdReporter::fetchAttributionDetails() {
    persistedConfig_->setSearchAdRetryCount(persistedConfig_->searchAdRetryCount() + 1);
    if (!adClientInstance()) return;
    platform::Error error;
    const auto token = platform::AAAttribution::attributionTokenWithError(&error);
    if (!token) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 32018,
                               "Cannot send request for Search Ad campaign attribution. Error",
                               error);
        return;
    }
    if (!token->empty()) requestAttributionPayloadWithToken(*token);
}

void KLVSearchAdReporter::requestAttributionPayloadWithToken(const std::string& token) {
    if (token.empty()) return;
    const auto host = KLVServerHosts::current().attributionHost;
    if (!host) return;
    platform::HttpRequest request;
    request.method = platform::HttpMethod::Post;
    request.url = "https://" + *host + kAttributionPath;
    request.headers = {{"Content-Type", "text/plain"}, {"cache-control", "no-cache"}};
    request.body.assign(token.begin(), token.end());
    request.timeoutInterval = kRequestTimeout;
    request.maximumResponseSize = kMaximumReplySize;
    std::weak_ptr<KLVSearchAdReporter> weak = weak_from_this();
    // The reply arrives on the worker queue, where the alarm, the persisted values and the
    // event are safe to touch.
    platform::HttpClient::shared().send(std::move(request), *queue_,
                                        [weak](platform::HttpResult result) {
                                            if (const auto self = weak.lock()) {
                                                self->handleAttributionReply(result);
                                            }
                                        });
}

void KLVSearchAdReporter::handleAttributionReply(const platform::HttpResult& result) {
    if (result.error || !result.response) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 32015,
                               "Cannot send request for Search Ad campaign attribution. Error",
                               result.error ? *result.error : platform::Error{});
        scheduleSearchAdReport();
        return;
    }
    const auto& body = result.response->body;
    platform::Error error;
    const auto parsed = platform::readJSON(
        std::string_view(reinterpret_cast<const char*>(body.data()), body.size()), &error);
    const Dictionary* reply = parsed ? parsed->getDictionary() : nullptr;
    if (!reply) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 32017,
                               "Search Ad Reporter failed to parse JSON data. Error", error);
        scheduleSearchAdReport();
        return;
    }
    if (reply->empty()) {
        scheduleSearchAdReport();
        return;
    }
    if (idText(*reply, "adId") == kTestDataMarker &&
        idText(*reply, "campaignId") == kTestDataMarker) {
        monitor().logWithLevel(kKLVLogDebug, 32016,
                               "Search Ad Reporter returned test data. Will retry next time.");
        scheduleSearchAdReport();
        return;
    }
    bool attribution = false;
    if (const auto it = reply->find("attribution"); it != reply->end()) {
        if (const auto* b = it->second.getBool()) attribution = *b;
    }
    logCampaignEventWithSearchAdCampaign(attribution, idText(*reply, "campaignId"),
                                         idText(*reply, "keywordId"));
    cancelScheduling();
}

void KLVSearchAdReporter::logCampaignEventWithSearchAdCampaign(bool isSearchAdCampaign,
                                                               const std::string& campaign,
                                                               const std::string& term) {
    {
        std::lock_guard lock(campaignMutex_);
        if (!persistedConfig_->searchAdCampaignValue().isNull()) {
            monitor().logWithLevel(kKLVLogWarningSilent, 32008,
                                   "Search Ad Campaign is already tracked");
            return;
        }
        // Stored as 0 or 1: the persisted store keeps numbers, and a Boolean would read back
        // as nothing, so a "no" outcome would be asked for again at every start.
        persistedConfig_->setSearchAdCampaignValue(
            Object(std::int64_t{isSearchAdCampaign ? 1 : 0}));
    }
    if (!isSearchAdCampaign) return;
    Dictionary parameters{{"source", "Apple"}, {"medium", "search"}};
    if (!campaign.empty()) parameters["campaign"] = campaign;
    if (!term.empty()) parameters["term"] = term;
    const std::int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
    if (firstOpen >= 2) {
        parameters["click_timestamp"] = firstOpen - 1;
    } else {
        monitor().logWithLevel(kKLVLogWarningSilent, 32009,
                               "Search Ad Campaign does not have click_timestamp.");
    }
    KLVLogInternalEvent("auto", "_cmp", parameters);
}

}  // namespace engine
