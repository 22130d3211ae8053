#pragma once

// The host framework's remote-configuration service. Parameters are texts under string keys; a
// fetch downloads a new set, activation makes the fetched set the one that reads answer from.
//
// A fetch GETs the deployment value "TESSALINE_REMOTE_CONFIG_URL" of Info.plist and expects
// {"entries": {"<key>": "<text>", ...}}. No URL, no HTTP answer, a status other than 200 or a
// body of another shape is an error, and the values fetched before stay. Within the expiration
// of the last good fetch a fetch succeeds from what it already has, without a request. Fetched
// and active values and the time of the last good fetch persist in a property list under
// Application Support. Completions run on the service's own serial queue. Thread-safe.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace platform {

inline constexpr char kTRWRemoteConfigURLKey[] = "TESSALINE_REMOTE_CONFIG_URL";
inline constexpr char kTRWRemoteConfigErrorDomain[] = "com.tarnwell.remoteconfig.ErrorDomain";
// The file under Application Support.
inline constexpr char kTRWRemoteConfigFileName[] = "TRWRemoteConfig.plist";

enum class TRWRemoteConfigError : std::int64_t {
    unknown = 8001,
    noConfigURL = 8002,
    badResponse = 8003,
    badDocument = 8004,
};

enum class TRWRemoteConfigFetchStatus : int { noFetchYet = 0, success = 1, failure = 2 };

struct TRWRemoteConfigSettings {
    double minimumFetchInterval = 43200;
    double fetchTimeout = 60;
};

// One parameter's active value; empty bytes when the key has none.
class TRWRemoteConfigValue {
  public:
    explicit TRWRemoteConfigValue(Data data) : data_(std::move(data)) {}
    const Data& dataValue() const { return data_; }
    std::string stringValue() const { return {data_.begin(), data_.end()}; }

  private:
    Data data_;
};

class TRWRemoteConfig {
  public:
    using FetchCompletion =
        std::function<void(TRWRemoteConfigFetchStatus status, std::optional<Error> error)>;
    using ActivateCompletion = std::function<void(bool changed, std::optional<Error> error)>;

    // Loads what an earlier process stored.
    TRWRemoteConfig();
    ~TRWRemoteConfig();
    TRWRemoteConfig(const TRWRemoteConfig&) = delete;
    TRWRemoteConfig& operator=(const TRWRemoteConfig&) = delete;

    // The one instance (reset with the shared instances).
    static TRWRemoteConfig& remoteConfig();

    void setConfigSettings(TRWRemoteConfigSettings settings);
    TRWRemoteConfigSettings configSettings() const;
    TRWRemoteConfigValue configValueForKey(const std::string& key) const;
    // Calls back once on the service's queue; status success or failure with its error.
    void fetchWithExpirationDuration(double seconds, FetchCompletion completion);
    // Makes the fetched values active; `changed` says whether there was a fetched set to take.
    void activateWithCompletion(ActivateCompletion completion);
    // The queue completions run on.
    DispatchQueue& callbackQueue();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform
