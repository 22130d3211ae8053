#include "engine/settings/KLVEManager.h"

#include <utility>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/messages/NANOAccessors.h"

namespace engine {

std::optional<KLVPBClientProperty> KLVESDKProperty::proto(
    const std::function<std::string()>& identityDiversionKey) const {
    std::string key = diversionKey_;
    if (key.empty() && identityDiversionKey) key = identityDiversionKey();
    if (key.empty()) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 860001, "Diversion key is empty");
        return std::nullopt;
    }
    KLVPBClientProperty message;
    NANOSetString(message, KLVPBClientProperty::name, name_);
    NANOSetString(message, KLVPBClientProperty::diversion_id, key + "-" + name_);
    NANOSetInt64(message, KLVPBClientProperty::version, version_);
    NANOSetString(message, KLVPBClientProperty::app_id, appID_);

    CustomProperties properties = customProperties_;
    if (const auto provider = delegate_.lock()) {
        if (auto dynamic = provider->dynamicCustomPropertiesForSDKProperty(*this)) {
            for (auto& [name, value] : *dynamic)
                properties.insert_or_assign(name, std::move(value));
        }
    }
    if (!properties.empty()) {
        std::vector<KLVPBCustomProperty> list;
        list.reserve(properties.size());
        for (const auto& [name, value] : properties) {
            KLVPBCustomProperty pair;
            NANOSetString(pair, KLVPBCustomProperty::key, name);
            NANOSetString(pair, KLVPBCustomProperty::value, value);
            list.push_back(std::move(pair));
        }
        NANOSetArray(message, KLVPBClientProperty::custom_properties, list);
    }
    return message;
}

KLVEClient::KLVEClient(KLVESDKProperty property, std::vector<KLVPBFlag> defaultFlags,
                       std::weak_ptr<KLVEManager> manager)
    : property_(std::move(property)),
      defaultFlags_(std::move(defaultFlags)),
      manager_(std::move(manager)) {}

platform::Object KLVEClient::valueForFlag(std::string_view flagName) const {
    if (flagName.empty()) {
        monitor().logWithLevel(kKLVLogError, 830002, "Cannot get value for empty flag name");
        return {};
    }
    return objectForKeyedSubscript(flagName);
}

platform::Object KLVEClient::objectForKeyedSubscript(std::string_view flagName) const {
    const auto manager = manager_.lock();
    return manager ? manager->flagValueForFlagName(flagName, property_.name()) : platform::Object();
}

bool KLVEClient::activateLatestSnapshot(platform::Error* error) {
    const auto manager = manager_.lock();
    return manager && manager->activateSnapshotOfSDK(property_.name(), error);
}

bool KLVEClient::hasStaleSnapshot() const {
    const auto manager = manager_.lock();
    return manager && manager->activatedSnapshotStatusOfSDKName(property_.name()) == 1;
}

void KLVEClient::resetToDefaults() {
    if (const auto manager = manager_.lock()) manager->resetToDefaultsOfSDKName(property_.name());
}

std::shared_ptr<KLVEClientDelegate> KLVEClient::delegate() const {
    std::lock_guard lock(delegateMutex_);
    return delegate_.lock();
}

void KLVEClient::setDelegate(std::weak_ptr<KLVEClientDelegate> delegate) {
    std::lock_guard lock(delegateMutex_);
    delegate_ = std::move(delegate);
}

}  // namespace engine
