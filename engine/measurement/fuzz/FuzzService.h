#pragma once

// The measurement service the fuzz targets of this folder feed (header only): a real one, started
// once per process in a temporary data root that goes when the program ends. Time stands still on
// a manual clock, so no alarm fires on its own; no host is configured, so nothing leaves the
// process; the system log is silenced. Each input meets the same service, with the rows earlier
// inputs stored taken out again (clearStoredRows), so that a long run neither grows nor hits the
// daily limits.

#include <sqlite3.h>
#include <stdlib.h>  // mkdtemp

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "engine/database/KLVDailyCounts.h"
#include "engine/database/KLVDatabase.h"
#include "engine/environment/KLVInfoPlistFileUtil.h"
#include "engine/experiments/KLVEManagerImpl.h"
#include "engine/experiments/KLVETaskManager.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/script/KLVPEventEditingRuntime.h"
#include "platform/adsupport/SKAdNetwork.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/ManualClock.h"
#include "platform/dispatch/ProcessExit.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/UserDefaultsWriter.h"
#include "platform/ui/UIApplication.h"

namespace engine::fuzzing {

inline constexpr char kAppID[] = "1:1001:ios:abc";

class FuzzService {
  public:
    // The service, started on first use. Like the phone's shared instances it is never
    // destroyed: queue workers may still reach it while the process exits.
    static FuzzService& shared() {
        static FuzzService* const fixture = new FuzzService();
        return *fixture;
    }

    KLVMeasurement& service() { return *service_; }

    // Runs `block(service)` on the worker queue and waits for it, and for the main-queue blocks
    // it posted (the hand-over of links to the application delegate).
    template <typename Block>
    void onWorker(Block block) {
        service_->scheduler()->workerQueue()->sync([&] { block(*service_); });
        platform::runUntilIdle();
        service_->scheduler()->workerQueue()->sync([] {});
    }

    // On the worker queue: deletes the stored events and bundles, and zeroes today's counts.
    void clearStoredRows() {
        auto& database = *service_->database();
        sqlite3* connection = nullptr;
        const bool cleared =
            sqlite3_open(database.sqliteStore().databasePath().c_str(), &connection) == SQLITE_OK &&
            sqlite3_exec(connection,
                         "DELETE FROM raw_events; DELETE FROM raw_events_metadata; "
                         "DELETE FROM queue;",
                         nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(connection);
        if (!cleared) __builtin_trap();
        if (const auto counts = database.dailyCounts()) {
            if (!database.updateDailyCounts(
                    KLVDailyCounts::initWithDay(counts->day(), 0, 0, 0, 0, 0, 0))) {
                __builtin_trap();
            }
        }
    }

  private:
    // Accepts every link handed over, as an app with a link handler does.
    class LinkTakingDelegate : public platform::UIApplicationDelegate {
      public:
        bool applicationOpenURL(platform::UIApplication&, const std::string&,
                                const platform::Dictionary&) override {
            return true;
        }
    };

    FuzzService() {
        // In memory where the system offers it: the service syncs its files at every commit,
        // which on a disk would cost each input milliseconds.
        const bool inMemory = std::filesystem::is_directory("/dev/shm");
        std::string folder = std::string(inMemory ? "/dev/shm" : "/tmp") + "/tessaline-fuzz-XXXXXX";
        if (!::mkdtemp(folder.data())) __builtin_trap();
        home_ = folder;
        platform::resetSharedInstances();
        platform::setDataRoot(home_);
        platform::setLogSink([](std::string_view) {});
        // The app's bundle: its identifier, and the app ID a configuration must carry.
        const auto bundle = home_ / "bundle";
        std::filesystem::create_directories(bundle);
        if (!platform::writePropertyListFile(
                bundle / "Info.plist",
                platform::Dictionary{{"CFBundleIdentifier", "com.example.tessaline"}},
                platform::PropertyListFormat::XML) ||
            !platform::writePropertyListFile(
                bundle / (std::string(kKLVServiceInfoPlistName) + "." + kKLVServiceInfoPlistType),
                platform::Dictionary{{kKLVServiceInfoPlistAppIDKey, kAppID}},
                platform::PropertyListFormat::XML)) {
            __builtin_trap();
        }
        platform::Bundle::setMainBundleDirectory(bundle);
        platform::Clock::install(std::make_shared<platform::ManualClock>());
        installEventEditingRuntime();
        // The ad network takes every conversion value.
        platform::SKAdNetwork::setConversionValueUpdater(
            [](std::int64_t, const std::string&, bool, platform::SKAdNetworkCompletion done) {
                done(std::nullopt);
            });
        platform::UIApplication::shared().launch(std::make_shared<LinkTakingDelegate>());
        platform::runUntilIdle();
        KLVMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false, std::nullopt);
        service_ = KLVMeasurement::sharedInstance();
        if (!service_) __builtin_trap();
        service_->scheduler()->workerQueue()->sync([] {});
        if (!service_->database()) __builtin_trap();
        std::atexit(&FuzzService::atExit);
    }

    // At exit: lets the queues go idle and closes them, then removes the data root.
    static void atExit() {
        auto& fixture = shared();
        fixture.service_->scheduler()->workerQueue()->sync([] {});
        if (const auto& tasks = KLVEManagerImpl::sharedInstance()->taskManager()) {
            tasks->dispatchSyncOnWorkerQueue([] {});
        }
        platform::processexit::closeForExit();
        platform::userdefaults::waitUntilIdle();
        std::error_code ignored;
        std::filesystem::remove_all(fixture.home_, ignored);
    }

    std::filesystem::path home_;
    std::shared_ptr<KLVMeasurement> service_;
};

}  // namespace engine::fuzzing
