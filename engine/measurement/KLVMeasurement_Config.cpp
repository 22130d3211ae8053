// Configuration download: a conditional GET of the app's measurement configuration, stored with
// its audience definitions in one transaction; the validators are kept only after a commit.

#include <string>
#include <vector>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVTCFClient.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/script/KLVPRuntime.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/net/HttpClient.h"

namespace engine {

using platform::Error;

namespace {

std::string persistedString(const platform::Object& value) {
    return value.isString() ? value.asString() : std::string();
}

}  // namespace

void KLVMeasurement::fetchRemoteConfig() {
    KLVScheduler::checkOnWorkerQueue("fetchRemoteConfig");
    const auto config = remoteConfigInstance();
    if (!config || !network()) return;
    const auto url = config->remoteConfigURLWithPlatform(
        "ios", KLVIdentity::brackenfoldLibraryVersion(), KLVPRuntime::runtimeVersion());
    if (!url) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23125,
                               "Invalid server URL to get configuration");
        return;
    }
    monitor().logWithLevel(kKLVLogVerbose, 23126, "Fetching configuration from the server");
    platform::HttpHeaders headers;
    const std::string lastModified =
        persistedString(persistedConfig()->configServerLastModifiedString());
    if (!lastModified.empty()) headers.emplace_back("If-Modified-Since", lastModified);
    const std::string etag = persistedConfig()->configServerETag().value_or("");
    if (!etag.empty()) headers.emplace_back("If-None-Match", etag);

    setIsNetworkRequestPending(true);
    network()->setTimeoutInterval(config->networkTimeout());
    std::weak_ptr<KLVMeasurement> weak = weak_from_this();
    network()->getURL(*url, headers, kMaximumConfigurationSize, scheduler()->workerQueue(),
                      shouldUseBackgroundSession(),
                      [weak](std::optional<platform::WDLNetworkResponse> response,
                             platform::Data data, std::optional<Error> error) {
                          auto self = weak.lock();
                          if (!self) return;
                          self->setIsNetworkRequestPending(false);
                          self->networkRemoteConfigFetchCompletionHandler(response, data, error);
                      });
}

void KLVMeasurement::networkRemoteConfigFetchCompletionHandler(
    const std::optional<platform::WDLNetworkResponse>& response, const platform::Data& data,
    const std::optional<Error>& error) {
    // An answer over the cap came from the server all the same: a body that does not parse.
    const bool tooLarge =
        !response && error && error->code == platform::kURLErrorDataLengthExceedsMaximum;
    const int code =
        response ? response->statusCode : (tooLarge ? platform::kWDLNetworkHTTPStatusOK : 0);
    monitor().logWithLevel(kKLVLogVerbose, 23127, "Fetched configuration. Status code",
                           std::to_string(code));
    const double now = platform::Clock::current().now();
    const bool success = code == platform::kWDLNetworkHTTPStatusOK ||
                         code == platform::kWDLNetworkHTTPStatusNoContent ||
                         code == platform::kWDLNetworkHTTPStatusNotModified;
    if (!success && code != platform::kWDLNetworkHTTPStatusNotFound) {
        const std::string description = error ? error->description : std::string();
        monitor().logWithLevel(kKLVLogWarning, 23128,
                               "Network request failed to fetch remote config. Code, Error",
                               std::to_string(code), description);
        persistedConfig()->setLastFailedUploadTimestamp(now);
        if (code == platform::kWDLNetworkHTTPStatusCodeUnavailable ||
            code == platform::kWDLNetworkHTTPStatusCodeCannotAcceptTraffic)
            persistedConfig()->setLastBackoffTimestamp(now);
        monitor().logWithLevel(kKLVLogWarning, 23129,
                               "Network fetch failed. Will retry later. Code, error",
                               std::to_string(code), description);
        updateSchedule();
        return;
    }

    persistedConfig()->setLastFailedUploadTimestamp(0);
    persistedConfig()->setLastBackoffTimestamp(0);
    Error timeError;
    bool timeStored = false;
    if (code == platform::kWDLNetworkHTTPStatusNotFound ||
        code == platform::kWDLNetworkHTTPStatusNotModified) {
        if (code == platform::kWDLNetworkHTTPStatusNotFound) {
            monitor().logWithLevel(kKLVLogWarning, 23130,
                                   "Configuration not found. Using default configuration");
        } else {
            monitor().logWithLevel(kKLVLogVerbose, 23131,
                                   "Configuration has not been modified. Using the same "
                                   "configuration. Code",
                                   std::to_string(code));
        }
        timeStored = database()->updateRemoteConfigSuccessfulTimestamp(now, &timeError);
        if (!timeStored) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 23132,
                                   "Failed to update config last set timestamp. Error", timeError);
        }
    } else {
        monitor().logWithLevel(
            kKLVLogVerbose, 23133, "Successfully fetched configuration from the server. Code, size",
            std::to_string(code), std::to_string(response ? response->expectedContentLength : -1));
        timeStored = database()->updateRemoteConfigSuccessfulTimestamp(now, &timeError);
        if (!timeStored) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 23134,
                                   "Failed to set last set timestamp in database. Error",
                                   timeError);
        }
        if (tooLarge) {
            monitor().logWithLevel(kKLVLogErrorSilent, 23135, "Configuration data is invalid.");
        } else if (!data.empty() && applyFetchedConfiguration(data)) {
            const std::string* lastModified = response->header("Last-Modified");
            const std::string* etag = response->header("ETag");
            persistedConfig()->setConfigServerLastModifiedString(
                lastModified ? std::optional<std::string>(*lastModified) : std::nullopt);
            persistedConfig()->setConfigServerETag(etag ? std::optional<std::string>(*etag)
                                                        : std::nullopt);
        }
    }
    if (timeStored) {
        suspendedUploadTimestamp_ = 0;
    } else {
        // An unreadable uptime suspends nothing: the suspension could never end.
        const double uptime = platform::Clock::current().uptime();
        suspendedUploadTimestamp_ = uptime > 0 ? uptime : 0;
    }
    if (remoteConfigInstance()->DMAConsentEnabled() &&
        shouldRequestDeferredDeepLinkAfterConfigFetch_) {
        shouldRequestDeferredDeepLinkAfterConfigFetch_ = false;
        requestDeferredDeepLink();
    } else {
        uploadDataOrRegisterAlarm();
    }
    if (tcfClient_) tcfClient_->setIsDMARegion(remoteConfigInstance()->isDMARegion());
}

bool KLVMeasurement::applyFetchedConfiguration(const platform::Data& data) {
    // The configuration and its audiences are stored in one transaction; when it fails, the
    // configuration in force goes back to the stored one, and the consent defaults follow only
    // a configuration that was stored.
    const auto settings = remoteConfigInstance();
    auto previous = settings->inForce();
    if (!database()->performTransaction([&] { return storeFetchedConfiguration(data); })) {
        settings->restoreInForce(std::move(previous));
        return false;
    }
    updateConsentSettingsUtilWithRemoteConfig();
    return true;
}

bool KLVMeasurement::storeFetchedConfiguration(const platform::Data& data) {
    auto config = KLVPBMeasurementConfig::initWithBuffer(data);
    if (!config) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23135, "Configuration data is invalid.");
        return false;
    }
    if (NANOGetString(*config, KLVPBMeasurementConfig::app_id) != identity()->appIDFromZKT()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23136,
                               "Configuration does not have valid Nexory App ID.");
        return false;
    }
    const auto audiences = NANOGetArray<KLVPBAudience>(*config, KLVPBMeasurementConfig::audiences)
                               .value_or(std::vector<KLVPBAudience>{});
    NANOClearField(*config, KLVPBMeasurementConfig::audiences);
    if (!remoteConfigInstance()->updateMeasurementConfig(*config)) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23138,
                               "Failed to update configuration with new server configuration");
        return false;
    }
    if (!audienceUpdateAudiences(audiences)) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23137,
                               "Failed to update audiences with new server configuration");
        return false;
    }
    return true;
}

}  // namespace engine
