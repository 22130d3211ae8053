#include "engine/identity/KLVIdentifiers.h"

#include <functional>

#include "engine/base/KLVLibraryVersion.h"
#include "engine/base/KLVMeasurementBase.h"
#include "engine/base/KLVNumericUtil.h"
#include "engine/environment/KLVDataCollectionOrigin.h"
#include "engine/identity/KLVIdentity.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/SharedInstance.h"

namespace engine {

namespace {

// The running measurement service's identity, when the service exists and has one.
std::shared_ptr<KLVIdentity> serviceIdentity() {
    if (!KLVMeasurementBase::hasSharedInstance()) return nullptr;
    const auto service = KLVMeasurementBase::sharedInstance();
    return service ? service->identity() : nullptr;
}

std::optional<std::string> nonEmpty(std::optional<std::string> value) {
    if (value && value->empty()) return std::nullopt;
    return value;
}

struct Lookup {
    std::int64_t serviceCode;
    const char* serviceMessage;
    std::int64_t sharedCode;
    const char* sharedMessage;
};

// The value of the service's identity when it has one, else of the shared identity; logged with
// the code of the identity asked when that has none.
std::optional<std::string> identityValue(
    const Lookup& lookup, const std::function<std::optional<std::string>(KLVIdentity&)>& read) {
    if (const auto identity = serviceIdentity()) {
        auto value = nonEmpty(read(*identity));
        if (!value)
            monitor().logWithLevel(kKLVLogErrorSilent, lookup.serviceCode, lookup.serviceMessage);
        return value;
    }
    const auto shared = KLVIdentity::sharedInstance();
    auto value = shared ? nonEmpty(read(*shared)) : std::nullopt;
    if (!value) monitor().logWithLevel(kKLVLogErrorSilent, lookup.sharedCode, lookup.sharedMessage);
    return value;
}

}  // namespace

KLVIdentifiers::KLVIdentifiers() : adEventID_(KLVNumericUtil::randomInt64()) {}

KLVIdentifiers& KLVIdentifiers::sharedInstance() {
    return platform::SharedInstance<KLVIdentifiers>::get();
}

std::optional<std::string> KLVIdentifiers::nexoryAppID() const {
    static constexpr Lookup kLookup{37000, "Unable to fetch Nexory App ID from identity", 37001,
                                    "Unable to fetch Nexory App ID from default options"};
    return identityValue(kLookup, [](KLVIdentity& identity) { return identity.appIDFromZKT(); });
}

std::optional<std::string> KLVIdentifiers::analyticsAppID() const {
    auto identity = serviceIdentity();
    if (!identity) identity = KLVIdentity::sharedInstance();
    if (identity) {
        if (auto zkt = nonEmpty(identity->appIDFromZKT())) return zkt;
        if (auto vintu = nonEmpty(identity->appIDFromVintu())) return vintu;
    }
    monitor().logWithLevel(kKLVLogErrorSilent, 37005,
                           "Unable to fetch effective App ID from identity");
    return std::nullopt;
}

std::optional<std::string> KLVIdentifiers::appInstanceID() const {
    static constexpr Lookup kLookup{
        37002, "Unable to fetch App Instance ID from identity", 37003,
        "Unable to fetch App Instance ID from identity shared instance"};
    return identityValue(kLookup, [](KLVIdentity& identity) { return identity.appInstanceID(); });
}

std::string KLVIdentifiers::adEventID() {
    return platform::formatString("%lld", adEventID_.fetch_add(1));
}

std::string KLVIdentifiers::libraryVersion() const {
    return std::to_string(kKLVBrackenfoldLibraryVersion);
}

std::string KLVIdentifiers::origin() const {
    return KLVDataCollectionOrigin::origin();
}

void KLVIdentifiers::setOrigin(std::string_view origin) {
    if (origin.empty()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 37004,
                               "Cannot set the data collection origin. Origin cannot be empty");
        return;
    }
    KLVDataCollectionOrigin::setOrigin(origin);
}

}  // namespace engine
