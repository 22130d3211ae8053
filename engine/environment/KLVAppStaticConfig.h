#pragma once

namespace engine {

// A class without state; its one shared instance is created on first use.
class KLVAppStaticConfig {
  public:
    static KLVAppStaticConfig& sharedInstance() {
        static KLVAppStaticConfig instance;
        return instance;
    }
};

}  // namespace engine
