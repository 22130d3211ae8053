// On-device conversion measurement: user data handed over by the app go to the optional
// private-set-membership client, which makes a query URL; the service sends the query, and a
// match is kept as the user property "_psmvalue" and reported with a real-time "_fx" event.

#include <cmath>
#include <mutex>
#include <string>

#include "engine/base/KLVAEU.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/database/KLVDatabase.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVPrivateSetMembershipClient.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/SharedInstance.h"

namespace engine {

using platform::Dictionary;
using platform::Error;

namespace {

constexpr double kPSMValueLifetimeSeconds = 7776000;  // 90 days
constexpr char kPSMValueProperty[] = "_psmvalue";
constexpr const char* kPSMCountProperties[] = {"_psmcount", "_psmcountph", "_psmcounth",
                                               "_psmcounthph"};
constexpr char kDebugPSMArgument[] = "-DebugOnDeviceConversionMeasurement";
// The answer is the client's to read; a larger one fails as a request and is retried.
constexpr std::size_t kMaximumPSMResponseSize = 1024 * 1024;

struct InstalledClass {
    std::mutex mutex;
    std::optional<KLVPrivateSetMembershipClientClass> value;
};

InstalledClass& installedClass() {
    static InstalledClass* made = [] {
        auto* installed = new InstalledClass();
        platform::registerSharedReset("KLVPrivateSetMembershipClient", [installed] {
            std::lock_guard lock(installed->mutex);
            installed->value.reset();
        });
        return installed;
    }();
    return *made;
}

// The counter property and query key of a client's input type.
struct Counter {
    const char* property;
    const char* queryKey;
};

Counter counterFor(std::int64_t inputType) {
    switch (inputType) {
        case kKLVPSMInputTypePhoneNumber:
            return {"_psmcountph", "psm_phone_count"};
        case kKLVPSMInputTypeHashedEmailAddress:
            return {"_psmcounth", "psm_count"};
        case kKLVPSMInputTypeHashedPhoneNumber:
            return {"_psmcounthph", "psm_phone_count"};
        default:
            return {"_psmcount", "psm_count"};
    }
}

const std::string* stringFor(const Dictionary& d, const char* key) {
    const auto it = d.find(key);
    return it == d.end() ? nullptr : it->second.getString();
}

void logPSMFailure(std::int64_t code, const char* message) {
    monitor().logWithLevel(kKLVLogErrorMonitored, code, message);
}

}  // namespace

void KLVSetPrivateSetMembershipClientClass(std::optional<KLVPrivateSetMembershipClientClass> c) {
    auto& installed = installedClass();
    std::lock_guard lock(installed.mutex);
    installed.value = std::move(c);
}

std::optional<KLVPrivateSetMembershipClientClass> KLVPrivateSetMembershipClientClassLookUp() {
    auto& installed = installedClass();
    std::lock_guard lock(installed.mutex);
    return installed.value;
}

void KLVMeasurement::setUserDataOnWorkerQueue(const Dictionary& userData) {
    KLVScheduler::checkOnWorkerQueue("setUserDataOnWorkerQueue:");
    const auto clientClass = KLVPrivateSetMembershipClientClassLookUp();
    const auto settings = remoteConfig();
    const std::string appID = identity() ? identity()->appID() : this->appID();
    // Only a client chosen by this call starts an attempt: one kept for a pending retry of an
    // earlier attempt must not restart it past the preconditions.
    std::shared_ptr<KLVPrivateSetMembershipClient> client;
    if (const auto* email = stringFor(userData, "email_address")) {
        if (shouldRetrievePSMResponseWithEmailAddress(*email) && clientClass) {
            if (clientClass->initWithEmailAddressPrefixBitLength) {
                client = clientClass->initWithEmailAddressPrefixBitLength(
                    *email, appID, settings->hashPrefixBitLengthEmail());
            } else if (clientClass->initWithEmailAddress) {
                client = clientClass->initWithEmailAddress(*email, appID);
            }
        }
    }
    if (!client) {
        if (const auto* phone = stringFor(userData, "phone_number");
            phone && shouldRetrievePSMResponseWithPhoneNumber(*phone) && clientClass) {
            if (clientClass->initWithPhoneNumberPrefixBitLength) {
                client = clientClass->initWithPhoneNumberPrefixBitLength(
                    *phone, appID, settings->hashPrefixBitLengthPhone());
            } else {
                client = clientClass->initWithPhoneNumber(*phone, appID);
            }
        }
    }
    if (!client) {
        if (const auto* hashed = stringFor(userData, "hashed_email_address");
            hashed && shouldRetrievePSMResponseWithHashedIdentifier(*hashed, false) &&
            clientClass && clientClass->initWithHashedEmailAddressPrefixBitLength) {
            client = clientClass->initWithHashedEmailAddressPrefixBitLength(
                *hashed, appID, settings->hashPrefixBitLengthEmail());
        }
    }
    if (!client) {
        if (const auto* hashed = stringFor(userData, "hashed_phone_number");
            hashed && shouldRetrievePSMResponseWithHashedIdentifier(*hashed, true) && clientClass &&
            clientClass->initWithHashedPhoneNumberPrefixBitLength) {
            client = clientClass->initWithHashedPhoneNumberPrefixBitLength(
                *hashed, appID, settings->hashPrefixBitLengthPhone());
        }
    }
    if (!client) return;
    attribution_.privateSetMembershipClient = client;
    attribution_.PSMStartCount += 1;
    attribution_.PSMRetryCount = 0;
    retrievePSMResponse();
    monitor().logWithLevel(kKLVLogDebug, 23225, "Initiated on-device conversion measurement");
}

bool KLVMeasurement::shouldRetrievePSMResponse() {
    if (!KLVPrivateSetMembershipClientClassLookUp()) {
        logPSMFailure(23233,
                      "Failed to initiate on-device conversion measurement. "
                      "NexoryBrackenfoldOnDeviceConversion dependency not linked in.");
        return false;
    }
    const auto settings = remoteConfig();
    if (!settings->PSMFeatureEnabled()) return false;
    const std::int64_t firstOpenMillis = persistedConfig()->firstOpenTimestampMilliseconds();
    const double firstOpen =
        firstOpenMillis != 0 ? static_cast<double>(firstOpenMillis) / 1000.0 : initTimestamp();
    if (std::fabs(platform::Clock::current().now() - firstOpen) >
        static_cast<double>(settings->maxSignInDelayInDays()) * 86400.0) {
        logPSMFailure(23261,
                      "Failed to initiate on-device conversion measurement. Attempted to "
                      "initiate outside the first open window.");
        return false;
    }
    if (attribution_.isPSMRequestInProgress) {
        logPSMFailure(23235,
                      "Failed to initiate on-device conversion measurement. Request to query "
                      "data set for on-device conversion measurement already in progress.");
        return false;
    }
    if (attribution_.PSMStartCount >= settings->maxPSMStartCount()) {
        logPSMFailure(23236,
                      "Failed to initiate on-device conversion measurement. Exceeded limit per "
                      "app run.");
        return false;
    }
    if (database() && database()->userAttributeWithName(kPSMValueProperty)) {
        logPSMFailure(23237,
                      "Failed to initiate on-device conversion measurement. Found existing "
                      "match.");
        return false;
    }
    if (attribution_.PSMRetryCount >= settings->maxPSMRetryCount()) {
        logPSMFailure(23238,
                      "Failed to initiate on-device conversion measurement. Exceeded retry "
                      "limit.");
        return false;
    }
    return true;
}

bool KLVMeasurement::shouldRetrievePSMResponseWithEmailAddress(const std::string& emailAddress) {
    if (emailAddress.empty()) {
        logPSMFailure(23234,
                      "Failed to initiate on-device conversion measurement. Email address was "
                      "empty.");
        return false;
    }
    return shouldRetrievePSMResponse();
}

bool KLVMeasurement::shouldRetrievePSMResponseWithPhoneNumber(const std::string& phoneNumber) {
    if (phoneNumber.empty()) {
        logPSMFailure(23239,
                      "Failed to initiate on-device conversion measurement. Phone number was "
                      "empty.");
        return false;
    }
    const auto clientClass = KLVPrivateSetMembershipClientClassLookUp();
    if (clientClass && !clientClass->initWithPhoneNumber) {
        logPSMFailure(23262,
                      "Failed to initiate on-device conversion measurement. Linked "
                      "NexoryBrackenfoldOnDeviceConversion dependency does not support phone "
                      "numbers.");
        return false;
    }
    return shouldRetrievePSMResponse();
}

bool KLVMeasurement::shouldRetrievePSMResponseWithHashedIdentifier(
    const std::string& hashedIdentifier, bool isPhone) {
    (void)isPhone;
    if (hashedIdentifier.empty()) {
        logPSMFailure(23264,
                      "Failed to initiate on-device conversion measurement. Hashed identifier "
                      "was empty.");
        return false;
    }
    const auto clientClass = KLVPrivateSetMembershipClientClassLookUp();
    if (clientClass && !clientClass->initWithHashedEmailAddressPrefixBitLength &&
        !clientClass->initWithHashedPhoneNumberPrefixBitLength) {
        logPSMFailure(23265,
                      "Failed to initiate on-device conversion measurement. Linked "
                      "NexoryBrackenfoldOnDeviceConversion dependency does not support hashed "
                      "identifiers.");
        return false;
    }
    return shouldRetrievePSMResponse();
}

void KLVMeasurement::retrievePSMResponse() {
    auto& monitor = engine::monitor();
    const auto client = attribution_.privateSetMembershipClient;
    if (!client) return;
    auto url = client->PSMRequestURLWithRetryCount(attribution_.PSMRetryCount);
    if (!url) {
        logPSMFailure(23227,
                      "URL to query data set for on-device conversion measurement is invalid");
        return;
    }
    const Counter counter = counterFor(client->inputType());
    std::int64_t count = 0;
    if (const auto stored = database()->userAttributeWithName(counter.property);
        stored && stored->value().isInt64()) {
        count = stored->value().int64Value();
    }
    *url += std::string("&") + counter.queryKey + "=" + std::to_string(count);
    const std::int64_t firstOpenSeconds =
        persistedConfig()->firstOpenTimestampMilliseconds() / 1000;
    if (firstOpenSeconds > 0) {
        // The first minute boundary after the first open.
        *url += "&timestamp_first_open=" + std::to_string(firstOpenSeconds / 60 * 60 + 60);
    }
    if (!KLVAEU::isFAS() && (monitor.isDebugModeEnabled() || monitor.isVerboseLoggingEnabled()) &&
        KLVHasLaunchArgument(kDebugPSMArgument)) {
        if (const auto key = client->debugKey()) *url += "&debug_psm_key=" + *key;
    }
    if (!isNetworkReadyForRequest()) {
        monitor.logWithLevel(kKLVLogDebug, 23232,
                             "Network operation is pending. Request to query data set for "
                             "on-device conversion measurement postponed.");
        attribution_.isPSMRequestPostponed = true;
        return;
    }
    if (attribution_.PSMRetryAlarm) attribution_.PSMRetryAlarm->cancel();
    attribution_.isPSMRequestInProgress = true;
    attribution_.isPSMRequestPostponed = false;
    setIsNetworkRequestPending(true);
    network()->setTimeoutInterval(remoteConfig()->networkTimeout());
    std::weak_ptr<KLVMeasurement> weak = weak_from_this();
    const std::string counterName = counter.property;
    network()->getURL(
        *url, {}, kMaximumPSMResponseSize, scheduler()->workerQueue(), shouldUseBackgroundSession(),
        [weak, client, counterName](std::optional<platform::WDLNetworkResponse> response,
                                    platform::Data data, std::optional<Error> error) {
            const auto self = weak.lock();
            if (!self) return;
            self->setIsNetworkRequestPending(false);
            self->incrementPSMCountOnWorkerQueueWithName(counterName);
            auto& monitor = engine::monitor();
            auto& state = self->attribution_;
            const int code = response ? response->statusCode : 0;
            if (!error && (code == platform::kWDLNetworkHTTPStatusOK ||
                           code == platform::kWDLNetworkHTTPStatusNotModified ||
                           code == platform::kWDLNetworkHTTPStatusNoContent)) {
                const std::string value = client->parsedPSMValueFromResponse(data);
                if (!value.empty()) {
                    monitor.logWithLevel(kKLVLogDebug, 23229,
                                         "On-device conversion measurement found a match");
                    self->handlePSMValueOnWorkerQueue(value);
                } else {
                    monitor.logWithLevel(kKLVLogDebug, 23230,
                                         "On-device conversion measurement did not find a "
                                         "match. Will try again given new user data.");
                }
                state.isPSMRequestInProgress = false;
                state.privateSetMembershipClient.reset();
                self->updateSchedule();
                return;
            }
            monitor.logWithLevel(kKLVLogErrorMonitored, 23228,
                                 "Failed to query data set for on-device conversion "
                                 "measurement. Will retry later. Code, error",
                                 std::to_string(code), error ? error->description : std::string());
            state.isPSMRequestInProgress = false;
            self->maybeSchedulePSMRetry();
            self->updateSchedule();
        });
}

void KLVMeasurement::maybeSchedulePSMRetry() {
    const std::int32_t n = attribution_.PSMRetryCount;
    attribution_.PSMRetryCount = n + 1;
    const auto settings = remoteConfig();
    if (n + 1 >= settings->maxPSMRetryCount()) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 23231,
                               "On-device conversion measurement failed to find a match. Reached "
                               "retry limit.");
        return;
    }
    if (!attribution_.PSMRetryAlarm) {
        attribution_.PSMRetryAlarm = std::make_shared<KLVAlarm>(
            scheduler()->workerQueue(), "On-device conversion measurement timer");
    }
    std::weak_ptr<KLVMeasurement> weak = weak_from_this();
    attribution_.PSMRetryAlarm->runAfterDelay(settings->PSMRetryInterval() * std::ldexp(1.0, n),
                                              [weak] {
                                                  if (const auto self = weak.lock()) {
                                                      self->retrievePSMResponse();
                                                  }
                                              });
}

void KLVMeasurement::handlePSMValueOnWorkerQueue(const std::string& value) {
    if (value.empty()) return;
    const double now = platform::Clock::current().now();
    if (const auto attribute = KLVUserAttribute::initWithOrigin(
            "auto", kPSMValueProperty, KLVValue::initWithString(value), now)) {
        setUserAttributeOnWorkerQueue(*attribute);
    }
    if (auto event =
            KLVEvent::initWithOrigin("auto", false, "_fx", now, 0, Dictionary{{"_fxs", "psm"}})) {
        event->setRealtime(true);
        writeEventOnWorkerQueue(*event);
    }
}

void KLVMeasurement::incrementPSMCountOnWorkerQueueWithName(const std::string& name) {
    std::int64_t count = 0;
    if (const auto stored = database()->userAttributeWithName(name);
        stored && stored->value().isInt64()) {
        count = stored->value().int64Value();
    }
    if (const auto attribute = KLVUserAttribute::initWithOrigin(
            "auto", name, KLVValue::initWithInt64(count + 1), platform::Clock::current().now())) {
        setUserAttributeOnWorkerQueue(*attribute);
    }
}

void KLVMeasurement::resetPSMCounts() {
    attribution_.PSMStartCount = 0;
    attribution_.PSMRetryCount = 0;
}

void KLVMeasurement::maybeDeleteExpiredPSMValueOnWorkerQueue() {
    const auto value = database()->userAttributeWithName(kPSMValueProperty);
    if (!value || std::fabs(platform::Clock::current().now() - value->lastSetTimestamp()) <
                      kPSMValueLifetimeSeconds) {
        return;
    }
    removeUserAttributeOnWorkerQueue(*value);
    for (const char* name : kPSMCountProperties) {
        if (const auto counter = database()->userAttributeWithName(name)) {
            removeUserAttributeOnWorkerQueue(*counter);
        }
    }
}

void KLVMeasurement::checkPSMDependencyOnWorkerQueue() {
    if (KLVPrivateSetMembershipClientClassLookUp()) {
        monitor().logWithLevel(kKLVLogDebug, 23253,
                               "NexoryBrackenfoldOnDeviceConversion dependency is linked. "
                               "On-device conversion measurement is ready to initiate.");
        return;
    }
    if (database()->userAttributeWithName("_psmcount") ||
        database()->userAttributeWithName("_psmcountph")) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 23254,
                               "NexoryBrackenfoldOnDeviceConversion dependency is not currently "
                               "linked. On-device conversion measurement will fail to initiate.");
    }
}

}  // namespace engine
