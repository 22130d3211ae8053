// The engine used from every side at once, as an app under stress uses it: app threads log
// events while the main thread posts app-state notifications and screen changes, uploads run and
// complete, the network comes and goes, collection is switched off and on, and the analytics data
// is reset. Whatever the interleaving, nothing may crash or race, no event may arrive twice or
// out of its thread's order, and once the storm is over the engine must work as before.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/bundles/BundleTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/frontdoor/KLVAnalytics.h"
#include "engine/frontdoor/LoopbackServiceTestSupport.h"
#include "engine/frontdoor/TRWAnalytics.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/messages/NANOAccessors.h"
#include "platform/net/Reachability.h"
#include "platform/ui/UIApplication.h"
#include "platform/ui/UIViewController.h"
#include "platform/ui/UIWindow.h"
#include "testkit/ManualClock.h"

namespace engine {
namespace {

constexpr char kStormEvent[] = "storm";
constexpr char kAfterEvent[] = "after_storm";
constexpr int kAppThreads = 3;
constexpr int kEventsPerThread = 250;
constexpr int kRounds = 24;
constexpr int kAfterEvents = 5;

class HomeController : public platform::UIViewController {};
class DetailController : public platform::UIViewController {};

class ServiceUnderConcurrentUseTest : public LoopbackServiceFixture {
  protected:
    void SetUp() override {
        LoopbackServiceFixture::SetUp();
        launchAppAndStartService({{"measurement.upload.max_bundles", "1000"},
                                  {"measurement.upload.max_batch_size", "10485760"}},
                                 0);
        settle();
        platform::UIApplication::shared().becomeActive();
        settle();
    }

    void TearDown() override {
        service_.reset();
        EngineTest::TearDown();
    }

    // Everything queued so far has been handled: the front door's queues, the worker queue, and
    // the main queue's blocks.
    void settle() {
        platform::runUntilIdle();
        KLVAnalytics::waitForQueues();
        service_->scheduler()->workerQueue()->sync([] {});
        platform::runUntilIdle();
    }

    void startUpload() {
        service_->scheduler()->workerQueue()->async(
            [service = service_] { service->uploadData(); });
    }

    // Uploads until nothing is left (a bounded number of rounds), collecting what arrives.
    void uploadEverything() {
        for (int round = 0; round < 50; ++round) {
            settle();
            service_->scheduler()->workerQueue()->sync([this] { service_->uploadData(); });
            waitForNetworkIdle(*service_);
            collect();
            bool empty = false;
            service_->scheduler()->workerQueue()->sync([&] {
                auto& database = *service_->database();
                empty = database.isRawEventsTableEmpty().value_or(false) &&
                        database.isQueuedBundleTableEmpty().value_or(false);
            });
            if (empty) return;
            // Past any back-off an offline upload started.
            clock_.advance(3600);
        }
        ADD_FAILURE() << "events or bundles are still stored after 50 uploads";
    }

    // What the server took so far: each storm event by thread and sequence, in arrival order, the
    // events logged after the storm, and the app instance IDs of the bundles that carried them.
    void collect() {
        for (const auto& request : server_.takeRequests()) {
            if (request.path != "/a") continue;
            for (const auto& bundle : testing::bundlesOf(testing::decodeUploadedBatch(request))) {
                const auto instance =
                    NANOGetString(bundle, KLVPBMeasurementBundle::app_instance_id);
                for (const auto& event : testing::eventsOf(bundle)) {
                    const auto name = NANOGetString(event, KLVPBEvent::name);
                    const auto parameters = testing::parametersOf(event);
                    const auto number = [&](const char* key) -> std::int64_t {
                        const auto found = parameters.find(key);
                        if (found == parameters.end() || !found->second.isInteger()) return -1;
                        return found->second.asInteger();
                    };
                    if (name == kStormEvent) {
                        const auto thread = number("thread");
                        const auto sequence = number("seq");
                        if (thread < 0 || thread >= kAppThreads || sequence < 0) {
                            ++malformed_;
                            continue;
                        }
                        arrived_[thread].push_back(sequence);
                    } else if (name == kAfterEvent) {
                        after_.insert(number("seq"));
                        afterInstances_.insert(instance.value_or(""));
                    }
                }
            }
        }
    }

    std::string integrityCheck() {
        std::string result;
        service_->scheduler()->workerQueue()->sync([&] {
            result = databaseIntegrity(service_->database()->sqliteStore().databasePath());
        });
        return result;
    }

    testkit::ScopedManualClock clock_;
    std::map<std::int64_t, std::vector<std::int64_t>> arrived_;
    std::set<std::int64_t> after_;
    std::set<std::string> afterInstances_;
    int malformed_ = 0;
};

TEST_F(ServiceUnderConcurrentUseTest, EverythingAtOnceThenBusinessAsUsual) {
    auto& app = platform::UIApplication::shared();
    auto& reachability = platform::Reachability::shared();
    const auto window = std::make_shared<platform::UIWindow>();
    const auto home = std::make_shared<HomeController>();
    window->setRootViewController(home);
    window->makeKeyAndVisible();

    std::atomic<int> running{kAppThreads};
    std::vector<std::thread> appThreads;
    for (int thread = 0; thread < kAppThreads; ++thread) {
        appThreads.emplace_back([thread, &running] {
            for (int sequence = 0; sequence < kEventsPerThread; ++sequence) {
                TRWAnalytics::logEventWithName(kStormEvent,
                                               {{"thread", thread}, {"seq", sequence}});
                if (sequence % 50 == 0) {
                    TRWAnalytics::setUserPropertyString(std::to_string(sequence), "level");
                }
            }
            --running;
        });
    }

    // The main thread's part, round after round while the app threads log (and a few more).
    for (int round = 0; round < kRounds || running > 0; ++round) {
        switch (round % 6) {
            case 0:
                home->present(std::make_shared<DetailController>(), false);
                app.resignActive();
                break;
            case 1:
                app.enterBackground();
                reachability.setReachable(false);
                startUpload();
                break;
            case 2:
                reachability.setReachable(true);
                app.becomeActive();
                startUpload();
                break;
            case 3:
                if (const auto shown = home->presentedViewController()) shown->dismiss(false);
                TRWAnalytics::setAnalyticsCollectionEnabled(false);
                break;
            case 4:
                TRWAnalytics::setAnalyticsCollectionEnabled(true);
                startUpload();
                break;
            case 5:
                if (round == 11) TRWAnalytics::resetAnalyticsData();
                clock_.advance(1);
                break;
        }
        platform::runUntilIdle();
    }
    for (auto& thread : appThreads)
        thread.join();

    // Business as usual: the app is active and online, collection is on, and what it logs now
    // arrives, under the app instance ID the engine answers.
    reachability.setReachable(true);
    TRWAnalytics::setAnalyticsCollectionEnabled(true);
    app.becomeActive();
    settle();
    uploadEverything();
    for (int sequence = 0; sequence < kAfterEvents; ++sequence) {
        TRWAnalytics::logEventWithName(kAfterEvent, {{"seq", sequence}});
    }
    uploadEverything();

    EXPECT_EQ(malformed_, 0);
    for (const auto& [thread, sequences] : arrived_) {
        SCOPED_TRACE("app thread " + std::to_string(thread));
        // Collection switched off and the reset drop events; none may come twice or out of order.
        for (std::size_t i = 1; i < sequences.size(); ++i) {
            ASSERT_LT(sequences[i - 1], sequences[i]) << "at arrival " << i;
        }
    }
    EXPECT_EQ(after_, (std::set<std::int64_t>{0, 1, 2, 3, 4}));
    const auto instance = TRWAnalytics::appInstanceID();
    ASSERT_TRUE(instance);
    EXPECT_EQ(afterInstances_, std::set<std::string>{*instance});
    EXPECT_EQ(integrityCheck(), "ok");
}

}  // namespace
}  // namespace engine
