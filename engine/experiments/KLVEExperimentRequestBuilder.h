#pragma once

// Builds the experiment request: a description of the app and the ClientProperty of every SDK
// that has registered with the experiments manager. One shared instance; properties are added from
// the manager's queue and read on the experiments worker queue.

#include <memory>
#include <string>

#include "engine/messages/KLVPBMessages.h"
#include "engine/settings/KLVEManager.h"
#include "platform/utilities/WDLMutableDictionary.h"

namespace engine {

class KLVEExperimentRequestBuilder {
  public:
    static KLVEExperimentRequestBuilder& sharedInstance();
    KLVEExperimentRequestBuilder() = default;
    KLVEExperimentRequestBuilder(const KLVEExperimentRequestBuilder&) = delete;
    KLVEExperimentRequestBuilder& operator=(const KLVEExperimentRequestBuilder&) = delete;

    // Stores the property under its name, replacing one of the same name; properties are never
    // removed. An empty name is refused (880000).
    void addSDKProperty(const KLVESDKProperty& property);
    // Platform "ios", the first preferred language lower-cased, the bundle identifier, whether
    // the app came from the App Store, and the component's version.
    KLVPBAppProperty appPropertyProto() const;
    // The app property and, by SDK name, the ClientProperty of every SDK that has a diversion
    // key (its own or the identity's).
    KLVPBExperimentRequest request() const;

  private:
    platform::WDLMutableDictionary<KLVESDKProperty> clientPropertyBySDKName_;
};

}  // namespace engine
