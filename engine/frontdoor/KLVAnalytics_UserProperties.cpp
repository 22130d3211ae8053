// User properties, the collection switch, sessions, the app instance ID, reset and user data.

#include <utility>

#include "engine/base/KLVBoolValue.h"
#include "engine/base/KLVErrors.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/events/KLVDataTypeValidator.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/frontdoor/FrontDoorState.h"
#include "engine/frontdoor/KLVAnalytics.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/measurement/KLVScreenViewReporter.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Text.h"

namespace engine {

namespace {

constexpr char kAllowPersonalizedAdsName[] = "allow_personalized_ads";
constexpr std::int64_t kUserPropertyLimit = 24;
constexpr std::int64_t kTooLongFailureCode = 2;
constexpr std::int64_t kInvalidNameError = 6;
constexpr std::int64_t kValueTooLongError = 7;
constexpr std::int64_t kReservedNameError = 15;

// Whether a public user-property name passes; if not, the "_err" event says why.
bool checkPublicUserPropertyName(const std::string& name) {
    std::int64_t failureCode = 0;
    if (KLVDataTypeValidator::isValidPublicUserAttributeName(name, &failureCode)) return true;
    const platform::Object value(name);
    KLVLogErrorEventWithName(
        failureCode == kKLVValidationReserved ? kReservedNameError : kInvalidNameError, name,
        kUserPropertyLimit, &value);
    return false;
}

// The "_npa" attribute from the service's decision, on the serial queue.
void updatePersonalizedAdsAttribute(const std::shared_ptr<KLVMeasurementService>& service) {
    const auto decision = service->shouldDisableAdPersonalization();
    const std::int64_t value = decision ? decision->numberAsInteger().value_or(0) : std::int64_t{0};
    auto attribute = KLVUserAttribute::initWithOrigin(
        "auto", "_npa", KLVValue::initWithInt64(value), platform::currentTime());
    if (decision) {
        service->setUserAttribute(attribute);
    } else {
        service->removeUserAttribute(attribute);
    }
}

void setAllowPersonalizedAds(const platform::Object& value) {
    KLVAnalytics::queueOperationWithBlock([value] {
        const bool enabled = frontDoor().enabled.load();
        if (!enabled) {
            monitor().logWithLevel(kKLVLogDebug, 25033,
                                   "Personalized Ads property changed while Analytics is disabled");
        }
        if (const auto persisted = KLVPersistedConfig::sharedInstance()) {
            const auto allow = KLVBoolValue(value);
            persisted->setAllowPersonalizedAds(allow ? platform::Object(*allow)
                                                     : platform::Object());
        }
        if (value.isNull() && KLVMeasurementService::remoteConfig()->DMAConsentEnabled() &&
            KLVConsentSettingsUtil::adPersonalization()) {
            KLVConsentSettingsUtil::unsetAdPersonalization();
        }
        if (!enabled) return;
        if (const auto service = KLVMeasurementService::sharedInstance()) {
            updatePersonalizedAdsAttribute(service);
        }
    });
}

// The text an over-long value is reported with.
platform::Object reportedValue(const KLVValue& value) {
    const platform::Object& object = value.value();
    if (object.isString()) return object;
    if (object.isNumber()) return platform::Object(object.description());
    return platform::Object();
}

}  // namespace

// ---- User properties ----------------------------------------------------------------------------

void KLVAnalytics::setUserPropertyString(const platform::Object& value, const std::string& name) {
    if (name == kAllowPersonalizedAdsName) {
        setAllowPersonalizedAds(value);
        return;
    }
    if (value.isNull()) {
        removeUserAttributeForName(name);
        return;
    }
    if (!checkPublicUserPropertyName(name)) return;
    if (!value.isString()) {
        monitor().logWithLevel(kKLVLogError, 25003, "User property must be NSString. Value", value);
        return;
    }
    const KLVValue stringValue = KLVValue::initWithString(value.asString());
    std::int64_t failureCode = 0;
    if (KLVDataTypeValidator::isValidPublicUserAttributeValue(&stringValue, &failureCode)) {
        sharedInstance().setInternalUserProperty(value, name, "app");
    } else if (failureCode == kTooLongFailureCode) {
        KLVLogErrorEventWithName(kValueTooLongError, name, kUserPropertyLimit, &value);
    }
}

void KLVAnalytics::setUserID(const platform::Object& userID) {
    if (userID.isNull()) {
        removeInternalUserAttributeForName("_id");
        removeInternalUserAttributeForName("_lair");
    } else if (userID.isString()) {
        sharedInstance().setInternalUserProperty(userID, "_id", "app");
    } else {
        monitor().logWithLevel(kKLVLogError, 25004, "User ID must be NSString. User ID", userID);
    }
}

void KLVAnalytics::removeUserAttributeForName(const std::string& name) {
    if (KLVDataTypeValidator::isValidPublicUserAttributeName(name)) {
        removeInternalUserAttributeForName(name);
    }
}

void KLVAnalytics::setUserAttributeNumber(const platform::Object& number, const std::string& name) {
    if (!checkPublicUserPropertyName(name)) return;
    if (!number.isNumber()) return;
    const platform::Object value = number.isDouble() ? platform::Object(number.asDouble())
                                                     : platform::Object(*number.numberAsInteger());
    sharedInstance().setInternalUserProperty(value, name, "auto");
}

void KLVAnalytics::removeInternalUserAttributeForName(const std::string& name) {
    queueOperationWithBlock([name] {
        const auto service = KLVMeasurementService::sharedInstance();
        if (!service) return;
        service->removeUserAttribute(KLVUserAttribute::initWithOrigin(
            "", name, KLVValue::initWithDouble(0.0), platform::currentTime()));
    });
}

void KLVAnalytics::setInternalUserProperty(const platform::Object& value, const std::string& name,
                                           const std::string& origin) {
    if (!KLVDataTypeValidator::isValidInternalUserAttributeName(name)) {
        const platform::Object nameValue(name);
        KLVLogErrorEventWithName(kInvalidNameError, name, kUserPropertyLimit, &nameValue);
        return;
    }
    const std::size_t originLength = platform::utf16Length(origin);
    if (originLength < 1 || originLength > 32) {
        monitor().logWithLevel(kKLVLogErrorSilent, 25005,
                               "Unable to set user property. Origin is invalid. Origin, name",
                               origin, name);
        return;
    }
    if (value.isNull()) {
        removeInternalUserAttributeForName(name);
        return;
    }
    const auto converted = KLVValue::valueFromObject(value);
    if (!converted) return;
    std::int64_t failureCode = 0;
    if (KLVDataTypeValidator::isValidInternalUserAttributeValue(&*converted, name, &failureCode)) {
        auto attribute =
            KLVUserAttribute::initWithOrigin(origin, name, *converted, platform::currentTime());
        queueOperationWithBlock([attribute = std::move(attribute)] {
            if (const auto service = KLVMeasurementService::sharedInstance()) {
                service->setUserAttribute(attribute);
            }
        });
    } else if (failureCode == kTooLongFailureCode) {
        const platform::Object reported = reportedValue(*converted);
        KLVLogErrorEventWithName(kValueTooLongError, name, kUserPropertyLimit,
                                 reported.isNull() ? nullptr : &reported);
    }
}

void KLVAnalytics::userPropertiesIncludingInternal(
    bool includeInternal, platform::DispatchQueue* queue,
    std::function<void(const platform::Dictionary&)> callback) {
    queueOperationWithBlock([includeInternal, queue, callback = std::move(callback)] {
        if (!callback) {
            monitor().logWithLevel(kKLVLogErrorSilent, 25006,
                                   "Analytics userProperties callback cannot be nil");
            return;
        }
        if (!queue) {
            monitor().logWithLevel(kKLVLogErrorSilent, 25007,
                                   "Cannot query for Analytics user properties. Queue cannot be "
                                   "nil");
            platform::mainQueue().async([callback] { callback({}); });
            return;
        }
        if (!frontDoor().enabled.load()) {
            monitor().logWithLevel(kKLVLogWarningSilent, 25008,
                                   "Cannot query for public user properties when Analytics is "
                                   "disabled");
            queue->async([callback] { callback({}); });
            return;
        }
        if (const auto service = KLVMeasurementService::sharedInstance()) {
            service->userPropertiesIncludingInternal(
                includeInternal, [queue, callback](const platform::Dictionary& properties) {
                    queue->async([callback, properties] { callback(properties); });
                });
        }
    });
}

void KLVAnalytics::maxUserPropertiesForOrigin(const std::string& origin,
                                              platform::DispatchQueue* queue,
                                              std::function<void(std::int64_t)> callback) {
    if (origin.empty()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 25009,
                               "Cannot query Analytics for max user properties. Origin must be a "
                               "non-empty string");
        return;
    }
    if (!queue) {
        monitor().logWithLevel(kKLVLogErrorSilent, 25010,
                               "Cannot query Analytics for max user properties. Queue cannot be "
                               "nil. Origin",
                               origin);
        return;
    }
    if (!callback) {
        monitor().logWithLevel(kKLVLogErrorSilent, 25011,
                               "Cannot query Analytics for max user properties. MaxUserProperties "
                               "callback cannot be nil. Origin",
                               origin);
        return;
    }
    queueOperationWithBlock([origin, queue, callback = std::move(callback)] {
        if (const auto service = KLVMeasurementService::sharedInstance()) {
            service->maxUserPropertiesForOrigin(origin, [queue, callback](std::int64_t count) {
                queue->async([callback, count] { callback(count); });
            });
        }
    });
}

// ---- Collection switch --------------------------------------------------------------------------

void KLVAnalytics::setAnalyticsEnabled(bool enabled) {
    setAnalyticsEnabled(enabled, false);
}

void KLVAnalytics::setAnalyticsEnabled(bool enabled, bool persistSetting) {
    dispatchAsyncOnSerialQueue([enabled, persistSetting] {
        if (persistSetting) {
            if (const auto persisted = KLVPersistedConfig::sharedInstance()) {
                persisted->setMeasurementEnabledState(enabled ? 1 : 2);
            }
        }
        auto& state = frontDoor();
        // A deactivated engine cannot be enabled.
        if (state.deactivated.load() && enabled) return;
        state.enabled.store(enabled);
        if (!KLVMeasurementService::hasSharedInstance()) return;
        if (const auto service = KLVMeasurementService::sharedInstance())
            service->setEnabled(enabled);
    });
}

void KLVAnalytics::observeNotificationsForAnalyticsConfiguration(const void* configuration) {
    auto& state = frontDoor();
    auto& center = platform::NotificationCenter::defaultCenter();
    center.removeObserver(&state);
    if (!configuration) return;
    center.addObserver(
        &state, kKLVAnalyticsConfigurationSetEnabledNotification, configuration,
        [](const platform::Notification& notification) { handleSetEnabled(notification); });
}

void KLVAnalytics::handleSetEnabled(const platform::Notification& notification) {
    const auto it = notification.userInfo.find(kKLVAnalyticsConfigurationSetEnabledNotification);
    const platform::Object entry =
        it == notification.userInfo.end() ? platform::Object() : it->second;
    if (!entry.isNumber()) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 25000,
                               "Received setEnabled notification without NSNumber", entry);
        return;
    }
    setAnalyticsEnabled(entry.numberAsDouble().value_or(0) != 0, false);
}

void KLVAnalytics::setDefaultEventParameters(
    const std::optional<platform::Dictionary>& parameters) {
    queueOperationWithBlock([parameters] {
        if (!frontDoor().enabled.load()) return;
        if (const auto service = KLVMeasurementService::sharedInstance()) {
            service->setDefaultEventParameters(parameters);
        }
    });
}

// ---- Sessions and screens
// -------------------------------------------------------------------------

void KLVAnalytics::setSessionTimeoutInterval(double seconds) {
    dispatchAsyncOnSerialQueue([seconds] {
        if (!KLVMeasurementService::hasSharedInstance()) return;
        if (const auto service = KLVMeasurementService::sharedInstance()) {
            service->setSessionTimeoutInterval(seconds);
        }
    });
}

void KLVAnalytics::sessionIDWithCompletion(KLVSessionIDCompletion completion) {
    if (!completion) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 25050,
                               "Analytics sessionID completion cannot be nil");
        return;
    }
    KLVSessionIDCompletion delivered = [completion = std::move(completion)](
                                           std::int64_t sessionID,
                                           std::optional<platform::Error> error) {
        platform::globalQueue(platform::QualityOfService::Default)
            .async([completion, sessionID, error] { completion(sessionID, error); });
    };
    dispatchAsyncOnSerialQueue([delivered = std::move(delivered)] {
        const auto service = KLVMeasurementService::hasSharedInstance()
                                 ? KLVMeasurementService::sharedInstance()
                                 : nullptr;
        if (!service || !service->didInitializeComponents()) {
            delivered(0, klv_errorWithCode(kKLVSessionIDErrorCode, "Analytics uninitialized"));
        } else if (!KLVMeasurementService::remoteConfig()->isSessionIDEnabled()) {
            delivered(0, klv_errorWithCode(kKLVSessionIDErrorCode, "Session ID API disabled"));
        } else {
            service->sessionIDWithCompletion(delivered);
        }
    });
}

void KLVAnalytics::setScreenName(const std::optional<std::string>& screenName,
                                 const std::optional<std::string>& screenClass) {
    if (!platform::isMainThread()) {
        monitor().logWithLevel(kKLVLogWarning, 25025,
                               "setScreenName:screenClass: must be called from the main thread "
                               "to ensure that events are associated with the intended screen.");
        return;
    }
    KLVScreenViewReporter::sharedInstance().setScreenName(screenName, screenClass);
}

// ---- App instance ID and reset
// ----------------------------------------------------------------------

std::optional<std::string> KLVAnalytics::appInstanceID() {
    // Called on the main thread: answered from what the consent queue and the identity queue
    // keep current, never by waiting for either.
    if (KLVConsentSettingsUtil::appliedAnalyticsStorageDenied()) return std::nullopt;
    if (auto afterReset = KLVAnalyticsStore::appInstanceIDAfterReset();
        afterReset && !afterReset->empty()) {
        return afterReset;
    }
    const auto identity = KLVIdentity::sharedInstance();
    return identity ? identity->appInstanceIDWithoutWaiting() : std::nullopt;
}

void KLVAnalytics::resetAnalyticsData() {
    setLoadTimestamp(platform::currentTime());
    KLVAnalyticsStore::setResetRetryCount(KLVAnalyticsStore::resetRetryCount() + 1);
    KLVAnalyticsStore::setNeedFirstOpenAfterReset(true);
    std::optional<std::string> appInstanceID = KLVIdentity::randomAppInstanceID();
    if (!appInstanceID || appInstanceID->empty()) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 25039,
                               "Cannot generate a new app instance ID");
        return;
    }
    if (KLVConsentSettingsUtil::isAnalyticsStorageDenied()) {
        appInstanceID.reset();
    } else {
        KLVAnalyticsStore::setAppInstanceIDAfterReset(appInstanceID);
    }
    queueOperationWithBlock([appInstanceID] {
        const auto service = KLVMeasurementService::sharedInstance();
        if (!service || !service->resetAnalyticsDataWithAppInstanceID(appInstanceID)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 25037, "Failed to reset Analytics data");
            return;
        }
        KLVAnalyticsStore::setResetRetryCount(0);
        if (KLVAnalyticsStore::appInstanceIDAfterReset() == appInstanceID) {
            KLVAnalyticsStore::setAppInstanceIDAfterReset(std::nullopt);
        }
    });
}

// ---- User data
// --------------------------------------------------------------------------------------

void KLVAnalytics::setUserData(const platform::Dictionary& userData) {
    queueOperationWithBlockThenWait([userData] { setUserDataOnSerialQueue(userData); });
}

void KLVAnalytics::setUserDataOnSerialQueue(const platform::Dictionary& userData) {
    if (!frontDoor().enabled.load()) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 25044,
                               "Analytics is disabled. User data not set.");
        return;
    }
    if (const auto service = KLVMeasurementService::sharedInstance())
        service->setUserData(userData);
}

}  // namespace engine
