// The engine under a long run: app events with a sequence number go through the public
// interface, are stored, bundled and uploaded to a loopback server on the manual clock, and every
// number must arrive exactly once while memory stays flat. The event count comes from
// TESSALINE_SOAK_EVENTS (default kDefaultEvents, well under a minute on two cores); a million is a
// run by hand. Prints the end-to-end rate and the memory figures.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine/bundles/BundleTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/frontdoor/LoopbackServiceTestSupport.h"
#include "engine/frontdoor/TRWAnalytics.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/messages/NANOAccessors.h"
#include "testkit/ManualClock.h"

namespace engine {
namespace {

constexpr char kEventName[] = "soak_step";
constexpr char kSequence[] = "seq";
constexpr std::int64_t kDefaultEvents = 60000;
// Events logged between two uploads.
constexpr std::int64_t kChunk = 2000;
constexpr double kMaxGrowthMiB = 30;

std::int64_t eventCount() {
    const char* text = std::getenv("TESSALINE_SOAK_EVENTS");
    if (!text || !*text) return kDefaultEvents;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    return (*end == '\0' && value > 0) ? value : 0;
}

// The resident set of this process in MiB, from /proc/self/status; -1 when it cannot be read.
double residentMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024;
    }
    return -1;
}

class SoakTest : public LoopbackServiceFixture {
  protected:
    void SetUp() override {
        LoopbackServiceFixture::SetUp();
        // The served configuration lifts the daily and storage limits to their maxima and lets
        // one upload carry many bundles.
        startService({{"measurement.upload.max_events_per_day", "1000000"},
                      {"measurement.upload.max_public_events_per_day", "1000000"},
                      {"measurement.store.max_stored_events_per_app", "1000000"},
                      {"measurement.upload.max_batch_size", "10485760"},
                      {"measurement.upload.max_bundles", "10000"}},
                     0);
    }

    template <typename F>
    void onWorker(F f) {
        service_->scheduler()->workerQueue()->sync([&] { f(*service_->database()); });
    }

    bool rawAndQueueEmpty() {
        bool empty = false;
        onWorker([&](KLVDatabase& database) {
            empty = database.isRawEventsTableEmpty().value_or(false) &&
                    database.isQueuedBundleTableEmpty().value_or(false);
        });
        return empty;
    }

    // Uploads until nothing is left to send (a bounded number of rounds), decoding and forgetting
    // what the server received as it goes.
    void uploadAll() {
        for (int round = 0; round < 100; ++round) {
            drain();
            service_->scheduler()->workerQueue()->sync([&] { service_->uploadData(); });
            bool pending = true;
            while (pending) {
                service_->scheduler()->workerQueue()->sync(
                    [&] { pending = service_->isNetworkRequestPending(); });
            }
            collect();
            if (rawAndQueueEmpty()) return;
        }
        ADD_FAILURE() << "raw events or bundles are still stored after 100 uploads";
    }

    void collect() {
        for (const auto& request : server_.takeRequests()) {
            if (request.path != "/a") continue;
            ++batches_;
            for (const auto& bundle : testing::bundlesOf(testing::decodeUploadedBatch(request))) {
                for (const auto& event : testing::eventsOf(bundle)) {
                    if (NANOGetString(event, KLVPBEvent::name) != kEventName) continue;
                    const auto parameters = testing::parametersOf(event);
                    const auto found = parameters.find(kSequence);
                    if (found == parameters.end() || !found->second.isInteger()) {
                        ++malformed_;
                        continue;
                    }
                    const std::int64_t sequence = found->second.asInteger();
                    if (sequence < 0 || sequence >= static_cast<std::int64_t>(seen_.size())) {
                        ++malformed_;
                    } else if (seen_[static_cast<std::size_t>(sequence)]++ != 0) {
                        ++duplicates_;
                    }
                }
            }
        }
    }

    void logRange(std::int64_t begin, std::int64_t end, std::int64_t total) {
        for (std::int64_t next = begin; next < end;) {
            const std::int64_t stop = std::min(end, next + kChunk);
            for (; next < stop; ++next) {
                TRWAnalytics::logEventWithName(kEventName, {{kSequence, next}});
            }
            clock_.advance(1);
            uploadAll();
            if (baselineMiB_ < 0 && next * 10 >= total) baselineMiB_ = residentMiB();
        }
    }

    testkit::ScopedManualClock clock_;
    std::vector<std::uint8_t> seen_;
    std::int64_t batches_ = 0;
    std::int64_t malformed_ = 0;
    std::int64_t duplicates_ = 0;
    double baselineMiB_ = -1;
};

TEST_F(SoakTest, EveryEventArrivesOnceAndMemoryStaysFlat) {
    const std::int64_t total = eventCount();
    ASSERT_GT(total, 0) << "TESSALINE_SOAK_EVENTS must be a positive whole number";
    seen_.assign(static_cast<std::size_t>(total), 0);
    uploadAll();  // the first open's events, and the configuration fetch

    const auto begin = std::chrono::steady_clock::now();
    logRange(0, total / 2, total);
    clock_.advance(86400);
    logRange(total / 2, total, total);
    clock_.advance(86400);
    uploadAll();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const double endMiB = residentMiB();

    std::int64_t missing = 0;
    for (const auto count : seen_)
        missing += count == 0;
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(duplicates_, 0);
    EXPECT_EQ(malformed_, 0);
    EXPECT_TRUE(rawAndQueueEmpty());
    std::string integrity;
    onWorker([&](KLVDatabase& database) {
        integrity = databaseIntegrity(database.sqliteStore().databasePath());
    });
    EXPECT_EQ(integrity, "ok");
    ASSERT_GT(baselineMiB_, 0);
    EXPECT_LE(endMiB - baselineMiB_, kMaxGrowthMiB);

    std::printf(
        "soak: %lld events in %.1f s, %.0f events/s end to end, %lld batches; VmRSS %.1f MiB "
        "after 10%%, %.1f MiB at the end (%+.1f MiB)\n",
        static_cast<long long>(total), seconds, static_cast<double>(total) / seconds,
        static_cast<long long>(batches_), baselineMiB_, endMiB, endMiB - baselineMiB_);
}

}  // namespace
}  // namespace engine
