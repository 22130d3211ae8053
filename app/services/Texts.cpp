#include "app/services/Texts.h"

#include "platform/foundation/Bundle.h"

namespace app {

std::string localized(const std::string& key) {
    return platform::Bundle::mainBundle().localizedString(key);
}

}  // namespace app
