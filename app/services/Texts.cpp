#include "app/services/Texts.h"

#include "platform/foundation/Bundle.h"

namespace app {

std::string localized(const std::string& key) {
    return platform::Bundle::mainBundle().localizedString(key);
}

std::string replaceAll(std::string text, const std::string& placeholder, const std::string& value) {
    if (placeholder.empty()) return text;
    for (auto at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
    return text;
}

}  // namespace app
