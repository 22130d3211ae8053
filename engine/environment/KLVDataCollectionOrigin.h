#pragma once

// Which host component collects data in this process (empty for the app's own analytics). The
// settings read it to decide whether a configuration may be applied, and KLVIdentifiers lets the
// host set it; it lives down here so that both reach it without reaching each other.

#include <string>
#include <string_view>

namespace engine {

class KLVDataCollectionOrigin {
  public:
    static std::string origin();
    static void setOrigin(std::string_view origin);
};

}  // namespace engine
