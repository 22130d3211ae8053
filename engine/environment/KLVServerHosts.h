#pragma once

// Where the measurement engine's servers are: the configuration service, the measurement
// (upload) service and its alternative host, used while the user has authorised tracking. They
// are deployment values, kept in the app's Info.plist under the keys below and read at each use;
// nothing in the code names a host. A test points them at its loopback server with an Info.plist
// of its own.
//
// A value is a host name or address, optionally with ":port"; anything else (a scheme, a path,
// blanks) is refused as if the key were missing, so that no URL is built from it.

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Object.h"

namespace engine {

inline constexpr char kKLVConfigHostInfoPlistKey[] = "NEXORY_MEASUREMENT_CONFIG_HOST";
inline constexpr char kKLVUploadHostInfoPlistKey[] = "NEXORY_MEASUREMENT_UPLOAD_HOST";
inline constexpr char kKLVAlternativeUploadHostInfoPlistKey[] =
    "NEXORY_MEASUREMENT_UPLOAD_ALTERNATIVE_HOST";
// The ad-services back end that answers deferred deep links, and the platform vendor's search-ad
// attribution service.
inline constexpr char kKLVAdServicesHostInfoPlistKey[] = "NEXORY_AD_SERVICES_HOST";
inline constexpr char kKLVAttributionHostInfoPlistKey[] = "NEXORY_AD_ATTRIBUTION_HOST";

struct KLVServerHosts {
    std::optional<std::string> configHost;
    std::optional<std::string> uploadHost;
    std::optional<std::string> alternativeUploadHost;
    std::optional<std::string> adServicesHost;
    std::optional<std::string> attributionHost;

    // The hosts of the main bundle's Info.plist.
    static KLVServerHosts current();
    static KLVServerHosts fromInfoDictionary(const platform::Dictionary& info);
    // Letters, digits, "." and "-", optionally followed by ":" and a port number.
    static bool isValidHost(std::string_view host);
    // Letters, digits, "." and "-" only: a name that can stand in front of a host without
    // changing which server a URL points at.
    static bool isValidSubdomain(std::string_view subdomain);
};

}  // namespace engine
