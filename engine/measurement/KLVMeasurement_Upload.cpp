// Upload: pending raw events are bundled, a batch of queued bundles that may travel together is
// stamped and POSTed gzip-compressed to the measurement host, and the answer decides whether the
// bundles leave the queue (only once the server took them) or wait with a raised retry count.

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "engine/base/KLVDataAdditions.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVBundleRedaction.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVRawEventMetadata.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "engine/upload/KLVBundleHelpers.h"
#include "platform/dispatch/Clock.h"
#include "platform/utilities/WDLGzip.h"

namespace engine {

using platform::Error;

namespace {

constexpr double kSuspensionSeconds = 3600;

std::optional<std::string> nonEmpty(const KLVPBMeasurementBundle& bundle, std::int32_t field) {
    auto value = NANOGetString(bundle, field);
    if (value && value->empty()) return std::nullopt;
    return value;
}

}  // namespace

void KLVApplyRedactedFieldsToBundle(KLVPBMeasurementBundle& bundle,
                                    const std::vector<std::string>& redactions,
                                    KLVIdentity& identity) {
    auto has = [&](const char* name) {
        return std::find(redactions.begin(), redactions.end(), name) != redactions.end();
    };
    using B = KLVPBMeasurementBundle;
    if (has("app_instance_id")) {
        NANOClearField(bundle, B::app_instance_id);
        const std::string signals = NANOGetString(bundle, B::consent_signals).value_or("");
        if (KLVIsAnalyticsStorageDeniedInSignals(signals)) {
            NANOClearField(bundle, B::ephemeral_app_instance_id);
        } else {
            NANOSetString(bundle, B::ephemeral_app_instance_id, identity.ephemeralAppInstanceID());
        }
    }
    if (has("user_id")) {
        auto attributes = NANOGetArray<KLVPBUserAttribute>(bundle, B::user_attributes)
                              .value_or(std::vector<KLVPBUserAttribute>{});
        std::erase_if(attributes, [](const KLVPBUserAttribute& a) {
            return NANOGetString(a, KLVPBUserAttribute::name) == "_id";
        });
        NANOSetArray(bundle, B::user_attributes, attributes);
    }
    if (has("os_version") || has("device_info")) {
        if (auto os = NANOGetString(bundle, B::os_version)) {
            const auto dot = os->find('.');
            if (dot != std::string::npos) NANOSetString(bundle, B::os_version, os->substr(0, dot));
        }
    }
    if (has("device_model") || has("device_info")) NANOClearField(bundle, B::device_model);
    if (has("enhanced_user_id")) NANOClearField(bundle, B::session_stitching_token);
    if (!redactions.empty()) {
        platform::Array names;
        for (const std::string& name : redactions)
            names.push_back(platform::Object(name));
        NANOSetArray(bundle, B::redacted_fields, names);
    }
}

bool KLVMeasurement::isNetworkReadyForRequest() {
    const bool busy = network() && network()->hasUploadInProgress();
    if (!isNetworkRequestPending()) return !busy;
    if (!busy) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23041,
                               "Analytics is uploading but network is not uploading");
    }
    return false;
}

std::vector<KLVQueuedBundle> KLVMeasurement::filteredBundlesWithCompatibleAppID(
    const std::string& appID, const std::optional<std::string>& resettableDeviceID,
    const std::optional<std::string>& vendorDeviceID, const std::vector<KLVQueuedBundle>& bundles) {
    if (resettableDeviceID && vendorDeviceID) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23042,
                               "Bundle filter must not specify both resettableDeviceID and "
                               "vendorDeviceID");
        return {};
    }
    std::vector<KLVQueuedBundle> out;
    for (const KLVQueuedBundle& queued : bundles) {
        const auto& b = queued.bundle;
        if (NANOGetString(b, KLVPBMeasurementBundle::app_id).value_or("") != appID) break;
        if (resettableDeviceID) {
            const auto id = nonEmpty(b, KLVPBMeasurementBundle::resettable_device_id);
            if (id && *id != *resettableDeviceID) break;
        }
        if (vendorDeviceID) {
            const auto id = nonEmpty(b, KLVPBMeasurementBundle::vendor_device_id);
            if (id && *id != *vendorDeviceID) break;
        }
        out.push_back(queued);
    }
    return out;
}

void KLVMeasurement::uploadData() {
    KLVScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
    if (!database() || !remoteConfigInstance() || !identity()) return;
    if (suspendedUploadTimestamp_ > 0) {
        updateSchedule();
        return;
    }
    monitor().logWithLevel(kKLVLogVerbose, 23033, "Starting data upload");
    if (!isNetworkReadyForRequest()) {
        monitor().logWithLevel(kKLVLogVerbose, 23034,
                               "Network operation is pending. Ignoring upload request");
        return;
    }
    if (!network()->isNetworkConnected()) {
        monitor().logWithLevel(kKLVLogDebug, 23035,
                               "Network not connected, ignoring upload request");
        updateSchedule();
        return;
    }
    const auto config = remoteConfigInstance();
    if (!config->isExpired()) {
        for (std::int64_t made = 0;
             made < config->maxBundlesCreatedPerIteration() && bundleRawEvents(); ++made) {
        }
    }
    Error error;
    auto queried = database()->queryBundlesWithCountLimit(
        config->uploadMaxBundlesLimit(), config->uploadMaxSizeLimitBytes(), &error);
    if (!queried) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23036, "Failed to query bundles. Error",
                               error);
        terminateBackgroundTask();
        return;
    }
    if (queried->empty()) {
        config->activateNewSnapshot();
        monitor().logWithLevel(kKLVLogVerbose, 23037, "No data to upload");
        if (config->isExpired()) {
            fetchRemoteConfig();
        } else {
            terminateBackgroundTask();
        }
        return;
    }

    // One consent snapshot for the whole batch.
    if (config->tcfFeatureEnabled()) tcfClientSetConsentFromData();
    const std::string signals = KLVConsentSettingsUtil::consentSignals();
    const bool gate = config->gateIDFAOnATTMASEnabled();
    const bool dma = config->DMAConsentEnabled();
    const std::string diagnostics = KLVConsentSettingsUtil::consentDiagnostics();
    const bool adUserDataDenied = KLVConsentSettingsUtil::isAdUserDataDenied();
    std::optional<KLVPBUserAttribute> npa;
    if (const auto stored = database()->userAttributeWithName("_npa"))
        npa = stored->protoUserAttribute();
    bool overwrite = !dma || signals.find('0') != std::string::npos;
    for (KLVQueuedBundle& queued : *queried) {
        if (!overwrite) overwrite = KLVBundleContainsFirstOpen(queued.bundle);
        KLVApplyConsentSignalsToBundle(queued.bundle, signals, gate, *identity(), overwrite);
        if (dma) {
            KLVApplyDMAConsentToBundle(queued.bundle, diagnostics, adUserDataDenied, npa, *config,
                                       overwrite);
        }
    }

    const double now = platform::Clock::current().now();
    const double lastSuccess = persistedConfig()->lastSuccessfulUploadTimestamp();
    if (lastSuccess != 0) {
        monitor().logWithLevel(kKLVLogVerbose, 23038,
                               "Uploading events. Elapsed time since last successful upload (s)",
                               std::to_string(std::fabs(now - lastSuccess)));
    }

    const std::string appID =
        NANOGetString(queried->front().bundle, KLVPBMeasurementBundle::app_id).value_or("");
    std::optional<std::string> resettable;
    std::optional<std::string> vendor;
    for (const KLVQueuedBundle& queued : *queried) {
        if ((resettable = nonEmpty(queued.bundle, KLVPBMeasurementBundle::resettable_device_id)))
            break;
        if ((vendor = nonEmpty(queued.bundle, KLVPBMeasurementBundle::vendor_device_id))) break;
    }
    auto filtered = filteredBundlesWithCompatibleAppID(appID, resettable, vendor, *queried);
    if (filtered.empty()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23046,
                               "Bundle list is empty. Cancelling upload");
        return;
    }

    const auto nowMs = static_cast<std::int64_t>(now * 1000);
    const std::vector<std::string> redactions = config->dataControls();
    std::vector<KLVPBMeasurementBundle> batchBundles;
    std::vector<std::int64_t> ids;
    std::int64_t highestEnd = 0;
    const KLVPBMeasurementBundle* reference =
        filtered.size() >= 2 ? &filtered.front().bundle : nullptr;
    for (KLVQueuedBundle& queued : filtered) {
        KLVPBMeasurementBundle& b = queued.bundle;
        NANOSetInt64(b, KLVPBMeasurementBundle::upload_library_version,
                     KLVIdentity::brackenfoldLibraryVersion());
        NANOSetInt64(b, KLVPBMeasurementBundle::upload_timestamp_millis, nowMs);
        KLVApplyRedactedFieldsToBundle(b, redactions, *identity());
        if (config->checksumEnabled()) {
            if (const auto bytes = b.protoBuffer())
                NANOSetInt64(b, KLVPBMeasurementBundle::bundle_checksum, klv_64LSBMD5(*bytes));
        }
        if (dma && reference && &b != reference && !KLVBundlesHaveSameConsent(reference, &b)) break;
        // Only bundles that go into the batch count toward the uploaded end time.
        if (NANOHasField(b, KLVPBMeasurementBundle::end_timestamp_millis))
            highestEnd =
                std::max(highestEnd, NANOGetInt64(b, KLVPBMeasurementBundle::end_timestamp_millis));
        batchBundles.push_back(b);
        ids.push_back(queued.rowID);
    }
    lastEventEndTimestampMsec_ = std::max(lastEventEndTimestampMsec_, highestEnd);

    KLVPBMeasurementBatch batch;
    NANOSetArray(batch, KLVPBMeasurementBatch::bundles, batchBundles);
    const auto encoded = batch.protoBuffer();
    const auto payload = encoded ? platform::wdl_dataByGzippingData(*encoded) : std::nullopt;
    if (!payload) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23040, "Unable to create network session.");
        return;
    }
    monitor().logWithLevel(kKLVLogDebug, 23039,
                           "Measurement data sent to network. Timestamp (ms), data",
                           std::to_string(nowMs), std::to_string(batchBundles.size()));

    if (uploadingBundleIDs_) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23047,
                               "Set uploading progress before finishing the previous upload");
    } else {
        uploadingBundleIDs_ = ids;
    }
    persistedConfig()->setLastFailedUploadTimestamp(now);
    setIsNetworkRequestPending(true);
    network()->setTimeoutInterval(config->networkTimeout());
    const platform::HttpHeaders headers = {{"Content-Encoding", "gzip"},
                                           {"Content-Type", "application/x-protobuf"}};
    std::weak_ptr<KLVMeasurement> weak = weak_from_this();
    const std::string session =
        network()->postURL(config->uploadURL().value_or(""), headers, *payload,
                           scheduler()->workerQueue(), shouldUseBackgroundSession(),
                           [weak](std::optional<platform::WDLNetworkResponse> response,
                                  platform::Data, std::optional<Error> error) {
                               auto self = weak.lock();
                               if (!self) return;
                               self->setIsNetworkRequestPending(false);
                               self->networkUploadCompletionHandler(response, error);
                           });
    if (session.empty()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23040, "Unable to create network session.");
        // The completion still comes (as a failure) and raises no counter without IDs.
        uploadingBundleIDs_.reset();
    }
}

void KLVMeasurement::networkUploadCompletionHandler(
    const std::optional<platform::WDLNetworkResponse>& response,
    const std::optional<Error>& error) {
    const int code = response ? response->statusCode : 0;
    const double now = platform::Clock::current().now();
    if (code != platform::kWDLNetworkHTTPStatusOK &&
        code != platform::kWDLNetworkHTTPStatusNoContent) {
        persistedConfig()->setLastFailedUploadTimestamp(now);
        if (code == platform::kWDLNetworkHTTPStatusCodeUnavailable ||
            code == platform::kWDLNetworkHTTPStatusCodeCannotAcceptTraffic)
            persistedConfig()->setLastBackoffTimestamp(now);
        monitor().logWithLevel(kKLVLogDebug, 23043,
                               "Network upload failed. Will retry later. Code, error",
                               std::to_string(code), error ? error->description : std::string());
        Error retryError;
        if (uploadingBundleIDs_ && !database()->incrementRetryCounterForBundlesWithIDs(
                                       *uploadingBundleIDs_, &retryError)) {
            monitor().logWithLevel(kKLVLogErrorSilent, 23166,
                                   "Failed to update the bundles' retry counts. Error", retryError);
        }
        uploadingBundleIDs_.reset();
        updateSchedule();
        return;
    }
    monitor().logWithLevel(kKLVLogDebug, 23044,
                           "Successful upload. Got network response. Code, size",
                           std::to_string(code), std::to_string(response->expectedContentLength));
    persistedConfig()->setLastSuccessfulUploadTimestamp(now);
    persistedConfig()->setLastFailedUploadTimestamp(0);
    persistedConfig()->setLastBackoffTimestamp(0);
    persistedConfig()->setLastUploadedEventTimestampMillis(std::max(
        persistedConfig()->lastUploadedEventTimestampMillis(), lastEventEndTimestampMsec_));
    attribution_.SKANRetryCount = 0;
    updateSchedule();
    const auto ids = uploadingBundleIDs_.value_or(std::vector<std::int64_t>{});
    if (!ids.empty() && !removeBundlesFromDatabaseWithIDs(ids)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23045,
                               "Unable to delete uploaded bundles. Uploads will be suspended for "
                               "seconds",
                               std::to_string(static_cast<int>(kSuspensionSeconds)));
        const double uptime = platform::Clock::current().uptime();
        // An unreadable uptime suspends nothing: the suspension could never end.
        suspendedUploadTimestamp_ = uptime > 0 ? uptime : 0;
    } else {
        suspendedUploadTimestamp_ = 0;
    }
    uploadingBundleIDs_.reset();
    const bool more = network()->isNetworkConnected() && hasDataToUpload();
    const bool expired = remoteConfigInstance()->isExpired();
    if (!more && !expired) {
        if (attribution_.isPSMRequestPostponed) {
            attribution_.isPSMRequestPostponed = false;
            retrievePSMResponse();
        } else {
            updateSchedule();
            scheduleSKANCVFetchAfterDataUpload();
        }
    }
    if (more || expired) uploadData();
}

}  // namespace engine
