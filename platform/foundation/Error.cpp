#include "platform/foundation/Error.h"

#include <ostream>

namespace platform {

void PrintTo(const Error& error, std::ostream* os) {
    *os << "Error{domain: " << Object(error.domain).description() << ", code: " << error.code
        << ", description: " << Object(error.description).description();
    if (!error.userInfo.empty()) *os << ", userInfo: " << Object(error.userInfo).description();
    *os << '}';
}

}  // namespace platform
