// Hands arbitrary bytes to the service as the body of a server's answer (status 200). The first
// byte picks the answer: the ad network's conversion value (a message, gzip-compressed when the
// byte's high bit is set, as its answers may be), the deferred deep link (JSON; a usable link is
// handed to the application delegate and recorded as a campaign), the search-ad attribution
// (JSON; a campaign event) or the experiments (a message; the snapshots are stored and handed to
// the settings). Nothing may crash, report to a sanitizer or trap.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/experiments/KLVEManagerImpl.h"
#include "engine/experiments/KLVETaskManager.h"
#include "engine/measurement/KLVSearchAdReporter.h"
#include "engine/measurement/fuzz/FuzzService.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/net/HttpClient.h"
#include "platform/utilities/WDLNetwork.h"

namespace {

using engine::KLVMeasurement;

platform::WDLNetworkResponse okResponse(bool gzip) {
    platform::WDLNetworkResponse response;
    response.statusCode = 200;
    if (gzip) response.headers.emplace_back("Content-Encoding", "gzip");
    return response;
}

void conversionValue(KLVMeasurement& service, const platform::Data& body, bool gzip) {
    service.handleSKANFetchResponse(okResponse(gzip), body, std::nullopt);
}

void deferredDeepLink(KLVMeasurement& service, const platform::Data& body) {
    if (const auto info = KLVMeasurement::deepLinkInfoFromResponseData(body)) {
        service.handleDeferredDeepLinkInfo(*info);
    }
}

void searchAdAttribution(const platform::Data& body) {
    // Made once, before any outcome is stored (after one it is never made again); each input
    // starts with no outcome.
    static const auto reporter = engine::KLVSearchAdReporter::initWithWorkerQueue(
        engine::fuzzing::FuzzService::shared().service().scheduler()->workerQueue(),
        engine::KLVPersistedConfig::sharedInstance());
    if (!reporter) __builtin_trap();
    engine::KLVPersistedConfig::sharedInstance()->setSearchAdCampaignValue(platform::Object());
    platform::HttpResult result;
    result.response = platform::HttpResponse{200, {}, body};
    reporter->handleAttributionReply(result);
}

void experiments(const platform::Data& body) {
    const auto& taskManager = engine::KLVEManagerImpl::sharedInstance()->taskManager();
    if (!taskManager) __builtin_trap();
    taskManager->dispatchSyncOnWorkerQueue([&] {
        taskManager->handleFetchingExperimentsResponse(okResponse(false), body, std::nullopt);
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& fixture = engine::fuzzing::FuzzService::shared();
    if (size == 0) return 0;
    const platform::Data body(data + 1, data + size);
    const bool gzip = (data[0] & 0x80) != 0;
    switch (data[0] & 0x3) {
        case 0:
            fixture.onWorker([&](KLVMeasurement& s) { conversionValue(s, body, gzip); });
            break;
        case 1:
            fixture.onWorker([&](KLVMeasurement& s) { deferredDeepLink(s, body); });
            break;
        case 2:
            fixture.onWorker([&](KLVMeasurement&) { searchAdAttribution(body); });
            break;
        default:
            experiments(body);
            break;
    }
    fixture.onWorker([&](KLVMeasurement& service) {
        service.bundleRawEvents();
        fixture.clearStoredRows();
    });
    return 0;
}
