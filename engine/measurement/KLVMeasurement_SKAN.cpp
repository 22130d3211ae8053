// Conversion values of the ad network: after an attributed install the service asks the
// measurement host for the postback conversion value, checks the answer, hands the values to the
// platform and records the update as "_skan". Fetches run after uploads, on becoming active and
// when the network returns, with retry and delay timers of their own.

#include <algorithm>
#include <string>

#include "engine/base/KLVLogLevel.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/adsupport/SKAdNetwork.h"
#include "platform/dispatch/Clock.h"
#include "platform/net/Gzip.h"
#include "platform/utilities/WDLAppEnvironmentUtil.h"

namespace engine {

using platform::Error;
using platform::WDLAppEnvironmentUtil;
using Response = KLVPBSkAdNetworkConversionValueResponse;

namespace {

constexpr std::int64_t kFirstWindowMillis = 172800000;     // 48 hours
constexpr std::int64_t kLastWindowEndMillis = 3024000000;  // 35 days
constexpr char kSKANPath[] = "/skan";
constexpr std::int64_t kSKANErrorCodeAlreadyUpdated = 10;

enum SKANOutcome : std::int32_t { kSKANOutcomeApply = 1, kSKANOutcomeNothingToApply = 2 };

std::int64_t nowMillis() {
    return static_cast<std::int64_t>(platform::Clock::current().now() * 1000.0);
}

bool isAtLeast16_1() {
    return WDLAppEnvironmentUtil::isPhoneOSVersionAtLeast(16, 1);
}

// Runs the fetch on the alarm in `slot` (made on first use) after `delay` seconds.
void fetchAfterDelay(KLVMeasurement& service, std::shared_ptr<KLVAlarm>& slot, const char* name,
                     double delay) {
    if (!slot) slot = std::make_shared<KLVAlarm>(service.scheduler()->workerQueue(), name);
    std::weak_ptr<KLVMeasurement> weak = service.weak_from_this();
    slot->runAfterDelay(delay, [weak] {
        if (const auto self = weak.lock()) self->fetchSKANCV();
    });
}

}  // namespace

std::string KLVMeasurement::SKANVersion() {
    struct Step {
        int major, minor;
        const char* version;
    };
    static constexpr Step kSteps[] = {
        {16, 1, "4.0"}, {14, 6, "3.0"}, {14, 5, "2.2"}, {14, 0, "2.1"}, {13, 7, "1.0"}};
    for (const auto& step : kSteps) {
        if (WDLAppEnvironmentUtil::isPhoneOSVersionAtLeast(step.major, step.minor)) {
            return step.version;
        }
    }
    return "0";
}

bool KLVMeasurement::isInFirstSKANPostbackWindow() {
    return nowMillis() <= persistedConfig()->firstOpenTimestampMilliseconds() + kFirstWindowMillis;
}

bool KLVMeasurement::isPastAllSKANPostbackWindows() {
    return nowMillis() > persistedConfig()->firstOpenTimestampMilliseconds() + kLastWindowEndMillis;
}

bool KLVMeasurement::isValidFineConversionValue(std::int64_t value) {
    return value >= 0 && value <= 63;
}

std::string KLVMeasurement::convertCoarseConversionValueFromProtoValue(std::int64_t value) {
    if (value == 3) return platform::SKAdNetworkCoarseConversionValueHigh;
    if (value == 2) return platform::SKAdNetworkCoarseConversionValueMedium;
    return platform::SKAdNetworkCoarseConversionValueLow;
}

std::int32_t KLVMeasurement::SKANFetchRetryLimit() {
    const std::int64_t evaluated = persistedConfig()->SKANEvaluationEventTimeMillis();
    const std::int64_t backoff = persistedConfig()->SKANEvaluationUpdateBackoffMillis();
    if (evaluated >= 1 && backoff >= 1 && evaluated + backoff >= nowMillis()) return 1;
    const auto settings = remoteConfig();
    return isInFirstSKANPostbackWindow() ? settings->SKANFirstWindowCVFetchRetryLimit()
                                         : settings->SKANCVFetchRetryLimit();
}

bool KLVMeasurement::shouldFetchSKANConversionValue() {
    // Without the platform's conversion-value service there is nothing to update.
    if (!isAtLeast16_1() || !platform::SKAdNetwork::supportsConversionValueUpdates()) return false;
    if (!remoteConfig()->SKANUpdateConversionValueEnabled()) return false;
    if (isPastAllSKANPostbackWindows() || attribution_.isSKANRequestInProgress) return false;
    const auto identity = this->identity();
    const auto instanceID = identity ? identity->appInstanceID() : std::nullopt;
    return instanceID && !instanceID->empty();
}

void KLVMeasurement::scheduleSKANCVFetchAfterDataUpload() {
    if (!shouldFetchSKANConversionValue()) return;
    const auto settings = remoteConfig();
    const double delay = isInFirstSKANPostbackWindow() ? settings->SKANFirstWindowCVFetchDelay()
                                                       : settings->SKANInitialCVFetchDelay();
    fetchAfterDelay(*this, attribution_.SKANDelayAlarm, "SKAN conversion value delay fetch", delay);
}

void KLVMeasurement::fetchSKANCV() {
    if (!shouldFetchSKANConversionValue()) return;
    if (!isNetworkReadyForRequest()) {
        monitor().logWithLevel(kKLVLogDebug, 23240,
                               "Network operation is pending. Request to fetch SKAdNetwork "
                               "conversion value postponed.");
        return;
    }
    if (!network()->isNetworkConnected()) {
        attribution_.fetchSKANWhenNetworkConnected = true;
        return;
    }
    const auto host = KLVServerHosts::current().uploadHost;
    if (!host) return;
    attribution_.isSKANRequestInProgress = true;
    setIsNetworkRequestPending(true);
    attribution_.fetchSKANWhenNetworkConnected = false;
    network()->setTimeoutInterval(remoteConfig()->networkTimeout());
    if (attribution_.SKANRetryAlarm) attribution_.SKANRetryAlarm->cancel();
    if (attribution_.SKANDelayAlarm) attribution_.SKANDelayAlarm->cancel();

    KLVPBSkAdNetworkConversionValueRequest request;
    using Request = KLVPBSkAdNetworkConversionValueRequest;
    NANOSetInt64(request, Request::library_version, KLVIdentity::brackenfoldLibraryVersion());
    NANOSetString(request, Request::app_id, appID());
    NANOSetString(request, Request::app_instance_id, identity()->appInstanceID().value_or(""));
    NANOSetString(request, Request::skan_version, SKANVersion());
    NANOSetInt64(request, Request::evaluation_event_time_millis,
                 persistedConfig()->SKANEvaluationEventTimeMillis());
    NANOSetInt64(request, Request::last_uploaded_event_timestamp_millis,
                 persistedConfig()->lastUploadedEventTimestampMillis());
    std::weak_ptr<KLVMeasurement> weak = weak_from_this();
    network()->postURL("https://" + *host + kSKANPath, {{"Accept-Encoding", "gzip"}},
                       request.protoBuffer().value_or(platform::Data{}), scheduler()->workerQueue(),
                       false,
                       [weak](std::optional<platform::WDLNetworkResponse> response,
                              platform::Data data, std::optional<Error> error) {
                           const auto self = weak.lock();
                           if (!self) return;
                           self->attribution_.isSKANRequestInProgress = false;
                           self->setIsNetworkRequestPending(false);
                           self->attribution_.fetchSKANWhenNetworkConnected = false;
                           self->handleSKANFetchResponse(response, data, error);
                           // The upload alarm may have found the network busy meanwhile.
                           self->updateSchedule();
                       });
}

void KLVMeasurement::handleSKANFetchResponse(
    const std::optional<platform::WDLNetworkResponse>& response, const platform::Data& data,
    const std::optional<Error>& error) {
    auto& monitor = engine::monitor();
    const int code = response ? response->statusCode : 0;
    if (code == platform::kWDLNetworkHTTPStatusNotModified) {
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    if (code != platform::kWDLNetworkHTTPStatusOK) {
        monitor.logWithLevel(kKLVLogDebug, 23241,
                             "Network request failed to fetch SKAN conversion value. Code, Error",
                             std::to_string(code), error ? error->description : std::string());
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    std::optional<platform::Data> body = data;
    if (body->size() > kMaximumSKANResponseSize) body.reset();
    const auto* encoding = response->header("Content-Encoding");
    std::string lowered = encoding ? *encoding : std::string();
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (body && lowered == "gzip") {
        Error inflateError;
        if (auto inflated = platform::gunzipData(*body, kMaximumSKANResponseSize, &inflateError)) {
            body = std::move(inflated);
        } else if (inflateError.code == platform::kGzipErrorTooLarge) {
            body.reset();
        }
    }
    if (body && body->empty()) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 23242,
                             "No SKAdNetwork conversion value data returned.");
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    const auto parsed = body ? Response::initWithBuffer(*body) : std::nullopt;
    if (!parsed) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 23243,
                             "Invalid SKAdNetwork conversion value data returned.");
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    const std::int32_t outcome =
        NANOHasField(*parsed, Response::status) ? NANOGetInt32(*parsed, Response::status) : 0;
    if (outcome == kSKANOutcomeApply) {
        updateSKANPostbackConversionValueFromResponse(*parsed);
    } else if (outcome == kSKANOutcomeNothingToApply) {
        stopProcessingSKANResponseAndResetRetryCount();
    } else {
        maybeScheduleSKANCVFetchRetry();
    }
}

void KLVMeasurement::updateSKANPostbackConversionValueFromResponse(const Response& response) {
    if (!isAtLeast16_1()) return;
    auto& monitor = engine::monitor();
    if (!NANOHasField(response, Response::evaluation_event_time_millis)) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 23244,
                             "SKAdNetwork conversion value data missing event time field.");
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    const bool hasFine = NANOHasField(response, Response::fine_value);
    if (!hasFine && !NANOHasField(response, Response::coarse_value)) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 23251,
                             "SKAdNetwork fine and coarse conversion values missing.");
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    const std::int64_t fine = hasFine ? NANOGetInt32(response, Response::fine_value) : 0;
    if (!isValidFineConversionValue(fine)) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 23245,
                             "Invalid SKAdNetwork fine conversion value. Fine value",
                             std::to_string(fine));
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    if (!NANOHasField(response, Response::expiry_time_millis)) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 23255,
                             "SKAdNetwork conversion value data missing result time field.");
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    const std::int64_t nowSeconds = static_cast<std::int64_t>(platform::Clock::current().now());
    if (nowSeconds > NANOGetInt64(response, Response::expiry_time_millis) / 1000) {
        monitor.logWithLevel(kKLVLogWarningMonitored, 23246,
                             "SKAdNetwork conversion value expired.");
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    const std::int64_t eventTime = NANOGetInt64(response, Response::evaluation_event_time_millis);
    if (eventTime < persistedConfig()->lastUploadedEventTimestampMillis()) {
        monitor.logWithLevel(kKLVLogWarningMonitored, 23247,
                             "Received outdated SKAdNetwork conversion value.");
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    attribution_.SKANRetryCount = 0;
    persistedConfig()->setSKANEvaluationEventTimeMillis(eventTime);
    persistedConfig()->setSKANEvaluationUpdateBackoffMillis(
        NANOGetInt64(response, Response::update_backoff_millis));
    monitor.logWithLevel(kKLVLogDebug, 23248, "Updating SKAdNetwork postback conversion value.");
    const std::int64_t coarse = NANOHasField(response, Response::coarse_value)
                                    ? NANOGetInt32(response, Response::coarse_value)
                                    : 1;
    std::weak_ptr<KLVMeasurement> weak = weak_from_this();
    const auto scheduler = this->scheduler();
    platform::SKAdNetwork::updatePostbackConversionValue(
        fine, convertCoarseConversionValueFromProtoValue(coarse),
        NANOGetBool(response, Response::lock_window),
        [weak, scheduler, response](std::optional<Error> error) {
            scheduler->scheduleOnWorkerQueueBlockID("KLVMeasurement:429", [weak, response, error] {
                if (const auto self = weak.lock()) {
                    self->handleSKANUpdatePostbackCompletion(response, error);
                }
            });
        });
}

void KLVMeasurement::handleSKANUpdatePostbackCompletion(const Response& response,
                                                        const std::optional<Error>& error) {
    if (error && !(error->domain == platform::SKANErrorDomain &&
                   error->code == kSKANErrorCodeAlreadyUpdated && isAtLeast16_1())) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23249,
                               "SKAdNetwork postback conversion value update failed. Error",
                               *error);
        return;
    }
    platform::Dictionary parameters;
    if (const auto message = NANOGetString(response, Response::message)) {
        parameters["_skanm"] = *message;
    }
    if (NANOHasField(response, Response::fine_value)) {
        parameters["_skanf"] = std::int64_t{NANOGetInt32(response, Response::fine_value)};
    }
    if (NANOHasField(response, Response::coarse_value)) {
        parameters["_skanc"] = std::int64_t{NANOGetInt32(response, Response::coarse_value)};
    }
    if (NANOHasField(response, Response::lock_window)) {
        parameters["_skanl"] = std::int64_t{NANOGetBool(response, Response::lock_window) ? 1 : 0};
    }
    if (NANOHasField(response, Response::evaluation_event_time_millis)) {
        parameters["_skane"] = NANOGetInt64(response, Response::evaluation_event_time_millis);
    }
    if (auto event = KLVEvent::initWithOrigin("auto", false, "_skan",
                                              platform::Clock::current().now(), 0, parameters)) {
        handleInternalEventOnWorkerQueue(std::move(*event));
    }
}

void KLVMeasurement::maybeScheduleSKANCVFetchRetry() {
    attribution_.SKANRetryCount += 1;
    if (attribution_.SKANRetryCount > SKANFetchRetryLimit()) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 23250,
                               "Reached retry limit for SKAdNetwork conversion value fetch.");
        return;
    }
    const auto settings = remoteConfig();
    const double delay = isInFirstSKANPostbackWindow()
                             ? settings->SKANFirstWindowCVFetchRetryInterval()
                             : settings->SKANCVFetchRetryInterval();
    fetchAfterDelay(*this, attribution_.SKANRetryAlarm, "SKAN conversion value fetch timer", delay);
}

void KLVMeasurement::stopProcessingSKANResponseAndResetRetryCount() {
    attribution_.SKANRetryCount = 0;
}

void KLVMeasurement::maybeFetchSKANCVAfterReachabilityChange() {
    if (attribution_.fetchSKANWhenNetworkConnected && network()->isNetworkConnected()) {
        fetchSKANCV();
    }
}

}  // namespace engine
