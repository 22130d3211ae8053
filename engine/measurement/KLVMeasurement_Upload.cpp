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
#include "engine/bundles/KLVBundleHelpers.h"
#include "engine/database/KLVDatabase.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVBundleRedaction.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVRawEventMetadata.h"
#include "engine/messages/MessageCodec.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/utilities/WDLGzip.h"

namespace engine {

using platform::Error;

namespace {

std::optional<std::string> nonEmpty(const KLVPBMeasurementBundle& bundle, std::int32_t field) {
    auto value = NANOGetString(bundle, field);
    if (value && value->empty()) return std::nullopt;
    return value;
}

// The bundle has the batch's app ID and, where it names one, the batch's device ID.
bool isCompatible(const KLVPBMeasurementBundle& b, const std::string& appID,
                  const std::optional<std::string>& resettableDeviceID,
                  const std::optional<std::string>& vendorDeviceID) {
    if (NANOGetString(b, KLVPBMeasurementBundle::app_id).value_or("") != appID) return false;
    if (resettableDeviceID) {
        const auto id = nonEmpty(b, KLVPBMeasurementBundle::resettable_device_id);
        if (id && *id != *resettableDeviceID) return false;
    }
    if (vendorDeviceID) {
        const auto id = nonEmpty(b, KLVPBMeasurementBundle::vendor_device_id);
        if (id && *id != *vendorDeviceID) return false;
    }
    return true;
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
        if (!isCompatible(queued.bundle, appID, resettableDeviceID, vendorDeviceID)) break;
        out.push_back(queued);
    }
    return out;
}

void KLVMeasurement::uploadData() {
    KLVScheduler::checkOnWorkerQueue("uploadData");
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
    // The queued bundles are read, stamped and encoded one at a time into the batch, so that at
    // most one decoded bundle and one batch of encoded bytes are held.
    Error error;
    const std::int64_t countLimit = config->uploadMaxBundlesLimit();
    const std::int64_t sizeLimit = config->uploadMaxSizeLimitBytes();
    std::int64_t afterRowID = 0;
    std::int64_t rowsRead = 0;
    std::int64_t totalSize = 0;
    bool anyRead = false;

    // Taken when the first bundle is read: one consent snapshot for the whole batch.
    std::string signals;
    bool gate = false;
    bool dma = false;
    std::string diagnostics;
    bool adUserDataDenied = false;
    std::optional<KLVPBUserAttribute> npa;
    bool overwrite = false;
    double now = 0;
    std::int64_t nowMs = 0;
    std::vector<std::string> redactions;

    // The batch: the leading bundles of one app ID and one device ID (the first one a bundle
    // names) and, under DMA, of the first bundle's consent.
    std::string appID;
    std::optional<std::string> resettable;
    std::optional<std::string> vendor;
    std::optional<KLVPBMeasurementBundle> reference;
    platform::Data encoded;
    std::size_t bundleCount = 0;
    std::vector<std::int64_t> ids;
    std::int64_t highestEnd = 0;
    while (rowsRead < countLimit) {
        auto next = database()->queuedBundleAfterRowID(afterRowID, &error);
        if (!next) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 23036, "Failed to query bundles. Error",
                                   error);
            terminateBackgroundTask();
            return;
        }
        if (next->rowID == 0) break;
        afterRowID = next->rowID;
        ++rowsRead;
        if (!next->bundle) continue;  // a row that does not decode is passed over
        KLVQueuedBundle& queued = *next->bundle;
        KLVPBMeasurementBundle& b = queued.bundle;
        const auto size = static_cast<std::int64_t>(encodedSize(b.messageInfo()).value_or(0));
        if (anyRead && totalSize + size > sizeLimit) break;
        totalSize += size;
        const bool first = !anyRead;
        anyRead = true;
        if (first) {
            if (config->tcfFeatureEnabled()) tcfClientSetConsentFromData();
            signals = KLVConsentSettingsUtil::consentSignals();
            gate = config->gateIDFAOnATTMASEnabled();
            dma = config->DMAConsentEnabled();
            diagnostics = KLVConsentSettingsUtil::consentDiagnostics();
            adUserDataDenied = KLVConsentSettingsUtil::isAdUserDataDenied();
            if (const auto stored = database()->userAttributeWithName("_npa"))
                npa = stored->protoUserAttribute();
            overwrite = !dma || signals.find('0') != std::string::npos;
            now = platform::Clock::current().now();
            const double lastSuccess = persistedConfig()->lastSuccessfulUploadTimestamp();
            if (lastSuccess != 0) {
                monitor().logWithLevel(
                    kKLVLogVerbose, 23038,
                    "Uploading events. Elapsed time since last successful upload (s)",
                    std::to_string(std::fabs(now - lastSuccess)));
            }
            nowMs = static_cast<std::int64_t>(now * 1000);
            redactions = config->dataControls();
        }
        if (!overwrite) overwrite = KLVBundleContainsFirstOpen(b);
        KLVApplyConsentSignalsToBundle(b, signals, gate, *identity(), overwrite);
        if (dma) {
            KLVApplyDMAConsentToBundle(b, diagnostics, adUserDataDenied, npa, *config, overwrite);
        }
        if (first) appID = NANOGetString(b, KLVPBMeasurementBundle::app_id).value_or("");
        if (!resettable && !vendor) {
            resettable = nonEmpty(b, KLVPBMeasurementBundle::resettable_device_id);
            if (!resettable) vendor = nonEmpty(b, KLVPBMeasurementBundle::vendor_device_id);
        }
        if (!isCompatible(b, appID, resettable, vendor)) break;

        NANOSetInt64(b, KLVPBMeasurementBundle::upload_library_version,
                     KLVIdentity::brackenfoldLibraryVersion());
        NANOSetInt64(b, KLVPBMeasurementBundle::upload_timestamp_millis, nowMs);
        KLVApplyRedactedFieldsToBundle(b, redactions, *identity());
        if (config->checksumEnabled()) {
            if (const auto bytes = b.protoBuffer())
                NANOSetInt64(b, KLVPBMeasurementBundle::bundle_checksum, klv_64LSBMD5(*bytes));
        }
        if (dma && reference && !KLVBundlesHaveSameConsent(&*reference, &b)) break;
        if (!reference) reference = KLVConsentOfBundle(b);
        // Only bundles that go into the batch count toward the uploaded end time.
        if (NANOHasField(b, KLVPBMeasurementBundle::end_timestamp_millis))
            highestEnd =
                std::max(highestEnd, NANOGetInt64(b, KLVPBMeasurementBundle::end_timestamp_millis));
        if (!KLVAppendBundleToBatch(encoded, b)) {
            encoded.clear();
            break;
        }
        ++bundleCount;
        ids.push_back(queued.rowID);
        if (totalSize > sizeLimit) break;
    }
    if (!anyRead) {
        config->activateNewSnapshot();
        monitor().logWithLevel(kKLVLogVerbose, 23037, "No data to upload");
        if (config->isExpired()) {
            fetchRemoteConfig();
        } else {
            terminateBackgroundTask();
        }
        return;
    }
    if (ids.empty()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23046,
                               "Bundle list is empty. Cancelling upload");
        return;
    }
    lastEventEndTimestampMsec_ = std::max(lastEventEndTimestampMsec_, highestEnd);

    const auto payload = encoded.empty() ? std::nullopt : platform::wdl_dataByGzippingData(encoded);
    encoded = platform::Data{};
    if (!payload) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23040, "Unable to create network session.");
        return;
    }
    monitor().logWithLevel(kKLVLogDebug, 23039,
                           "Measurement data sent to network. Timestamp (ms), data",
                           std::to_string(nowMs), std::to_string(bundleCount));

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
                               std::to_string(static_cast<int>(kKLVUploadSuspensionSeconds)));
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
