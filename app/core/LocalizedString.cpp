#include "app/core/LocalizedString.h"

#include "platform/foundation/Bundle.h"

namespace app {
namespace {

std::string lookUp(const char* key) {
    return platform::Bundle::mainBundle().localizedString(key);
}

}  // namespace

// Function-local statics: the first read looks the key up, safely even when two threads race; a
// change of language later in the process is not seen, as on the phone.
#define APP_DEFINE_LOCALIZED_STRING(member, key, comment) \
    const std::string& LocalizedString::member() {        \
        static const std::string text = lookUp(key);      \
        return text;                                      \
    }
APP_LOCALIZED_STRINGS(APP_DEFINE_LOCALIZED_STRING)
#undef APP_DEFINE_LOCALIZED_STRING

}  // namespace app
