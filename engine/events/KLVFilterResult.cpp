#include "engine/events/KLVFilterResult.h"

#include <ostream>

namespace engine {

void PrintTo(const KLVFilterResult& result, std::ostream* os) {
    *os << "KLVFilterResult{audienceID: " << result.audienceID()
        << ", currentResults: " << platform::Object(result.currentResults()).description()
        << ", previousResults: " << platform::Object(result.previousResults()).description() << '}';
}

}  // namespace engine
