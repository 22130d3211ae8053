#include "platform/host/TRWRemoteConfig.h"

#include <mutex>
#include <utility>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Json.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/net/HttpClient.h"

namespace platform {

namespace {

constexpr char kFetchedKey[] = "fetched";
constexpr char kActiveKey[] = "active";
constexpr char kLastFetchKey[] = "lastFetchTime";

Error makeError(TRWRemoteConfigError code, std::string description) {
    return {
        kTRWRemoteConfigErrorDomain, static_cast<std::int64_t>(code), std::move(description), {}};
}

// The "entries" of a fetched document, each a text; nullopt for any other shape.
std::optional<Dictionary> parseEntries(const Data& body) {
    const auto document =
        readJSON(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    if (!document || !document->isDictionary()) return std::nullopt;
    const auto* entries = (*document)["entries"].getDictionary();
    if (!entries) return std::nullopt;
    for (const auto& [key, value] : *entries) {
        if (!value.isString()) return std::nullopt;
    }
    return *entries;
}

std::filesystem::path storePath() {
    return applicationSupportDirectory() / kTRWRemoteConfigFileName;
}

}  // namespace

struct TRWRemoteConfig::State {
    std::mutex mutex;
    TRWRemoteConfigSettings settings;
    std::optional<Dictionary> fetched;
    Dictionary active;
    std::optional<double> lastFetchTime;
    // Shared so that a request in flight keeps its completion queue alive.
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("com.tarnwell.remoteconfig");

    void load() {
        removeStaleTemporaryFiles(storePath());  // left by a write the process died in
        const auto stored = readPropertyListFile(storePath());
        if (!stored || !stored->isDictionary()) return;
        if (const auto* f = (*stored)[kFetchedKey].getDictionary()) fetched = *f;
        if (const auto* a = (*stored)[kActiveKey].getDictionary()) active = *a;
        if (const auto* t = (*stored)[kLastFetchKey].getDouble()) lastFetchTime = *t;
    }

    // Called with the mutex held. A failed write is logged; the values stay in memory.
    void save() const {
        Dictionary root{{kActiveKey, Object(active)}};
        if (fetched) root[kFetchedKey] = Object(*fetched);
        if (lastFetchTime) root[kLastFetchKey] = Object(*lastFetchTime);
        Error error;
        if (!createDirectories(applicationSupportDirectory(), &error) ||
            !writePropertyListFile(storePath(), Object(root), PropertyListFormat::Binary, &error)) {
            systemLog("[TarnwellRemoteConfig] Could not store the configuration: " +
                      error.description);
        }
    }
};

TRWRemoteConfig::TRWRemoteConfig() : state_(std::make_shared<State>()) {
    state_->load();
}

TRWRemoteConfig::~TRWRemoteConfig() = default;

TRWRemoteConfig& TRWRemoteConfig::remoteConfig() {
    return SharedInstance<TRWRemoteConfig>::get();
}

void TRWRemoteConfig::setConfigSettings(TRWRemoteConfigSettings settings) {
    std::lock_guard lock(state_->mutex);
    state_->settings = settings;
}

TRWRemoteConfigSettings TRWRemoteConfig::configSettings() const {
    std::lock_guard lock(state_->mutex);
    return state_->settings;
}

TRWRemoteConfigValue TRWRemoteConfig::configValueForKey(const std::string& key) const {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->active.find(key);
    if (it == state_->active.end() || !it->second.isString()) return TRWRemoteConfigValue({});
    const auto& text = it->second.asString();
    return TRWRemoteConfigValue(Data(text.begin(), text.end()));
}

DispatchQueue& TRWRemoteConfig::callbackQueue() {
    return *state_->queue;
}

void TRWRemoteConfig::fetchWithExpirationDuration(double seconds, FetchCompletion completion) {
    const auto state = state_;
    auto finish = [state, completion = std::move(completion)](TRWRemoteConfigFetchStatus status,
                                                              std::optional<Error> error) {
        state->queue->async([completion, status, error = std::move(error)] {
            if (completion) completion(status, error);
        });
    };
    double timeout = 0;
    {
        std::lock_guard lock(state->mutex);
        const double now = Clock::current().now();
        if (state->lastFetchTime && now - *state->lastFetchTime < seconds) {
            finish(TRWRemoteConfigFetchStatus::success, std::nullopt);
            return;
        }
        timeout = state->settings.fetchTimeout;
    }
    const auto* url =
        Bundle::mainBundle().objectForInfoDictionaryKey(kTRWRemoteConfigURLKey).getString();
    if (!url || url->empty()) {
        finish(TRWRemoteConfigFetchStatus::failure,
               makeError(TRWRemoteConfigError::noConfigURL,
                         "No remote configuration URL in Info.plist"));
        return;
    }
    HttpRequest request;
    request.url = *url;
    request.timeoutInterval = timeout;
    auto queue = state->queue;
    HttpClient::shared().send(
        std::move(request), *queue, [state, queue, finish = std::move(finish)](HttpResult result) {
            if (result.error) {
                finish(TRWRemoteConfigFetchStatus::failure, result.error);
                return;
            }
            if (result.response->statusCode != 200) {
                finish(TRWRemoteConfigFetchStatus::failure,
                       makeError(TRWRemoteConfigError::badResponse,
                                 "HTTP status " + std::to_string(result.response->statusCode)));
                return;
            }
            auto entries = parseEntries(result.response->body);
            if (!entries) {
                finish(TRWRemoteConfigFetchStatus::failure,
                       makeError(TRWRemoteConfigError::badDocument,
                                 "The remote configuration document has no text entries"));
                return;
            }
            {
                std::lock_guard lock(state->mutex);
                state->fetched = std::move(*entries);
                state->lastFetchTime = Clock::current().now();
                state->save();
            }
            finish(TRWRemoteConfigFetchStatus::success, std::nullopt);
        });
}

void TRWRemoteConfig::activateWithCompletion(ActivateCompletion completion) {
    const auto state = state_;
    state->queue->async([state, completion = std::move(completion)] {
        bool changed = false;
        {
            std::lock_guard lock(state->mutex);
            if (state->fetched) {
                changed = state->active != *state->fetched;
                state->active = *state->fetched;
                state->save();
            }
        }
        if (completion) completion(changed, std::nullopt);
    });
}

}  // namespace platform
