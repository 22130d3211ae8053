#pragma once

// The host's installations service: one identifier per installation of the app, made on first
// request and kept in the data root across launches.

#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

namespace platform {

// Posted on the default notification centre when the installation identifier changes (also when
// the first one is made).
inline constexpr char kTRWInstallationIDDidChangeNotification[] =
    "TRWInstallationIDDidChangeNotification";
inline constexpr char kTRWInstallationsErrorDomain[] = "com.nexory.tarnwell.installations";

class TRWInstallations {
  public:
    using Completion =
        std::function<void(std::optional<std::string> identifier, std::optional<Error> error)>;

    // The shared service.
    static TRWInstallations& installations();

    // The identifier (22 URL-safe characters), or an error when none could be made or kept.
    // Delivered on a background queue of the service.
    void installationIDWithCompletion(Completion completion);

  private:
    static std::optional<std::string> identifier(Error* error);
};

}  // namespace platform
