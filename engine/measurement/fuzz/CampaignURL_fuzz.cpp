// Opens arbitrary text as a link, the three ways a link reaches the service: opened while the app
// runs, handed over at launch (kept, then replayed by the start as a campaign of its own), and as
// the web page of a continued browsing activity at launch. The campaign parameters of its query
// become an event. Nothing may crash, report to a sanitizer or trap, and a query read into
// parameters and written back must read to the same parameters.

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/base/KLVDictionaryQuery.h"
#include "engine/measurement/fuzz/FuzzService.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UserActivity.h"

namespace {

using engine::KLVMeasurement;
using platform::Dictionary;

void checkQuery(const std::string& text) {
    const platform::URL url(text);
    if (!url.query()) return;
    if (text.find(*url.query()) == std::string::npos) __builtin_trap();
    const Dictionary parameters = engine::klv_dictionaryWithHttpArgumentsString(*url.query());
    const Dictionary again =
        engine::klv_dictionaryWithHttpArgumentsString(engine::klv_queryString(parameters));
    if (again != parameters) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& fixture = engine::fuzzing::FuzzService::shared();
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkQuery(text);
    const double now = platform::Clock::current().now();

    // Opened while the app runs (from off the worker queue, as the application delegate does).
    fixture.service().handleNonFirstOpenEventURL(text, now);
    // Handed over at launch, then replayed by the start.
    KLVMeasurement::handleStoredURLAfterAppLaunchWithNotification(
        {{platform::UIApplicationLaunchOptionsURLKey, text}});
    fixture.onWorker([](KLVMeasurement& service) {
        service.reportStoredCampaignEventOnWorkerQueue(std::int64_t{1700000000000});
    });
    // The web page of a browsing activity the app was launched to continue.
    const platform::NSUserActivity activity{platform::NSUserActivityTypeBrowsingWeb, text};
    KLVMeasurement::handleStoredURLAfterAppLaunchWithNotification(
        {{platform::UIApplicationLaunchOptionsUserActivityDictionaryKey,
          Dictionary{{platform::UIApplicationLaunchOptionsUserActivityKey, activity.toObject()}}}});
    fixture.onWorker([&](KLVMeasurement& service) {
        service.reportStoredCampaignEventOnWorkerQueue();
        service.bundleRawEvents();
        fixture.clearStoredRows();
    });
    return 0;
}
