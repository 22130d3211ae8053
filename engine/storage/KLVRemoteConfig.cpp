#include "engine/storage/KLVRemoteConfig.h"

namespace engine {

std::shared_ptr<KLVRemoteConfig> KLVRemoteConfig::defaultInstance() {
    static const auto instance = std::make_shared<KLVRemoteConfig>();
    return instance;
}

}  // namespace engine
