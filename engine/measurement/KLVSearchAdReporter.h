#pragma once

// Asks the platform vendor's search-ad attribution service, once per install, whether the app
// was installed through a search ad, and when it was, logs "_cmp" with the campaign and keyword.
// Attempts are one day apart and at most ten; the outcome is persisted, so the reporter is never
// made again after a usable reply.
//
// Everything runs on the worker queue given at construction, the reply handler included (the
// request completes there). The platform's token service and the attribution host are optional:
// without either, the reporter stays off.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine/base/KLVAlarm.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/net/HttpClient.h"

namespace engine {

class KLVPersistedConfig;

class KLVSearchAdReporter : public std::enable_shared_from_this<KLVSearchAdReporter> {
  public:
    static constexpr std::int64_t kRetryLimit = 10;
    static constexpr double kRetryInterval = 86400;
    static constexpr double kRequestTimeout = 10;
    static constexpr char kTestDataMarker[] = "1234567890";
    static constexpr char kAttributionPath[] = "/api/v1/";

    // Null when a queue (32000) or the persisted configuration (32001) is missing, after ten
    // attempts, or once an outcome is stored (32002).
    static std::shared_ptr<KLVSearchAdReporter> initWithWorkerQueue(
        std::shared_ptr<platform::DispatchQueue> queue,
        std::shared_ptr<KLVPersistedConfig> persistedConfig);
    // Cancels scheduling.
    ~KLVSearchAdReporter();
    KLVSearchAdReporter(const KLVSearchAdReporter&) = delete;
    KLVSearchAdReporter& operator=(const KLVSearchAdReporter&) = delete;

    void start();
    bool isSearchAdReporterEnabled() const { return enabled_.load(); }
    void setSearchAdReporterEnabled(bool enabled) { enabled_.store(enabled); }

    void scheduleSearchAdReport();
    // Cancels the alarm for good.
    void cancelScheduling();
    void maybeLogIAdCampaignEvent();
    void fetchAttributionDetails();
    void requestAttributionPayloadWithToken(const std::string& token);
    void handleAttributionReply(const platform::HttpResult& result);
    void logCampaignEventWithSearchAdCampaign(bool isSearchAdCampaign, const std::string& campaign,
                                              const std::string& term);
    // The token service exists (OS 14.3 and later).
    static bool adClientInstance();
    // The pending run's time; nothing when none is planned or scheduling ended.
    std::optional<double> scheduledTimestamp() const;

  private:
    struct Key {};

  public:
    KLVSearchAdReporter(Key, std::shared_ptr<platform::DispatchQueue> queue,
                        std::shared_ptr<KLVPersistedConfig> persistedConfig);

  private:
    std::shared_ptr<platform::DispatchQueue> queue_;
    std::shared_ptr<KLVAlarm> searchAdReporterAlarm_;
    std::shared_ptr<KLVPersistedConfig> persistedConfig_;
    std::atomic<bool> enabled_{false};
    // Guards the check-and-store of the campaign value.
    std::mutex campaignMutex_;
};

}  // namespace engine
