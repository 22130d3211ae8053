// Links opened in the app: the deep link of a continued user activity, and the hand-over of an
// opened URL to the campaign handling on the worker queue.

#include "engine/base/KLVLogLevel.h"
#include "engine/measurement/KLVMeasurement.h"

namespace engine {

std::optional<std::string> KLVMeasurementService::deepLinkFromUserActivity(
    const platform::NSUserActivity* userActivity) {
    auto& monitor = engine::monitor();
    if (!userActivity) {
        monitor.logWithLevel(kKLVLogDebug, 23003, "User Activity is empty. User Activity", nullptr);
        return std::nullopt;
    }
    if (userActivity->activityType == platform::NSUserActivityTypeBrowsingWeb &&
        userActivity->webpageURL && !userActivity->webpageURL->empty()) {
        return userActivity->webpageURL;
    }
    monitor.logWithLevel(kKLVLogWarning, 23006,
                         "User Activity does not have Deep Link. User Activity",
                         userActivity->activityType);
    return std::nullopt;
}

void KLVMeasurement::handleNonFirstOpenEventURL(const std::string& url,
                                                double eventTimestampInSeconds) {
    const auto* current = platform::DispatchQueue::current();
    if (current && current->label() == scheduler_->workerQueue()->label()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23163,
                               "Do not call handleNonFirstOpenOpenURL on the measurement worker "
                               "queue");
        return;
    }
    if (url.empty()) return;
    scheduleWeak("KLVMeasurement:446", [url, eventTimestampInSeconds](KLVMeasurement& self) {
        self.handleOpenURLOnWorkerQueue(url, std::nullopt, eventTimestampInSeconds);
    });
}

}  // namespace engine
