#include "engine/experiments/KLVEExperimentRequestBuilder.h"

#include <vector>

#include "engine/base/KLVAEU.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/experiments/KLVEManagerImpl.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/messages/NANOAccessors.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/SystemLocale.h"
#include "platform/foundation/Text.h"

namespace engine {

namespace {

constexpr char kPlatform[] = "ios";

// The key of the process's identity; empty when there is none.
std::string identityDiversionKey() {
    const auto identity = KLVIdentity::sharedInstance();
    return identity ? identity->diversionKey() : std::string();
}

}  // namespace

KLVEExperimentRequestBuilder& KLVEExperimentRequestBuilder::sharedInstance() {
    return platform::SharedInstance<KLVEExperimentRequestBuilder>::get();
}

void KLVEExperimentRequestBuilder::addSDKProperty(const KLVESDKProperty& property) {
    if (property.name().empty()) {
        KLVEManagerImpl::monitor().logWithLevel(kKLVLogErrorSilent, 880000,
                                                "Cannot add an empty SDK property.");
        return;
    }
    clientPropertyBySDKName_.setObject(property, property.name());
}

KLVPBAppProperty KLVEExperimentRequestBuilder::appPropertyProto() const {
    KLVPBAppProperty message;
    NANOSetString(message, KLVPBAppProperty::platform, kPlatform);
    const auto languages = platform::preferredLanguages();
    if (!languages.empty()) {
        NANOSetString(message, KLVPBAppProperty::language,
                      platform::asciiLowercase(languages.front()));
    }
    NANOSetString(message, KLVPBAppProperty::bundle_id,
                  platform::Bundle::mainBundle().bundleIdentifier());
    NANOSetBool(message, KLVPBAppProperty::from_app_store, KLVAEU::isFAS());
    NANOSetInt64(message, KLVPBAppProperty::library_version, KLVEManagerImpl::version());
    return message;
}

KLVPBExperimentRequest KLVEExperimentRequestBuilder::request() const {
    std::vector<KLVPBClientProperty> clients;
    for (const auto& [name, property] : clientPropertyBySDKName_.dictionary()) {
        if (auto message = property.proto(identityDiversionKey)) clients.push_back(*message);
    }
    KLVPBExperimentRequest request;
    if (!clients.empty()) {
        NANOSetArray(request, KLVPBExperimentRequest::client_properties, clients);
    }
    NANOSetMessage(request, KLVPBExperimentRequest::app_property, appPropertyProto());
    return request;
}

}  // namespace engine
