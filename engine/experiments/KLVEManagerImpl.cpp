#include "engine/experiments/KLVEManagerImpl.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <utility>
#include <vector>

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/experiments/KLVEExperimentRequestBuilder.h"
#include "engine/messages/KLVPBFlagFunctions.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/SharedInstance.h"

namespace engine {

namespace {

// A stored snapshot this much older or newer than now is stale.
constexpr double kStaleInterval = 259200;

// The experiment IDs of a snapshot, for log lines; null for none.
MonitorContext describe(const std::shared_ptr<KLVESnapshot>& snapshot) {
    if (!snapshot) return {};
    platform::Array ids;
    for (const auto& experiment : snapshot->experiments())
        ids.emplace_back(experiment->experimentID());
    return platform::Object(std::move(ids));
}

struct SharedManager {
    SharedManager() : instance(KLVEManagerImpl::init()) {
        instance->taskManager()->startTaskManager();
    }
    std::shared_ptr<KLVEManagerImpl> instance;
};

}  // namespace

std::shared_ptr<KLVEManagerImpl> KLVEManagerImpl::sharedInstance() {
    return platform::SharedInstance<SharedManager>::get().instance;
}

std::shared_ptr<KLVEManagerImpl> KLVEManagerImpl::init() {
    return initWithTaskManager(KLVETaskManager::init());
}

std::shared_ptr<KLVEManagerImpl> KLVEManagerImpl::initWithTaskManager(
    std::shared_ptr<KLVETaskManager> taskManager) {
    auto manager = std::make_shared<KLVEManagerImpl>(std::move(taskManager));
    if (manager->taskManager_) manager->taskManager_->setDelegate(manager);
    return manager;
}

KLVEManagerImpl::KLVEManagerImpl(std::shared_ptr<KLVETaskManager> taskManager)
    : taskManager_(std::move(taskManager)),
      queue_(std::make_unique<platform::SerialQueue>(kKLVEExperimentSerialQueueLabel)) {}

KLVEMonitor& KLVEManagerImpl::monitor() {
    return KLVEMonitor::instance();
}

std::int64_t KLVEManagerImpl::version() {
    // The version text without its last three characters.
    constexpr std::string_view kVersionText = "10000000";
    std::int64_t version = 0;
    for (const char digit : kVersionText.substr(0, kVersionText.size() - 3))
        version = version * 10 + (digit - '0');
    return version;
}

void KLVEManagerImpl::dispatchAsyncOnSerialQueue(std::function<void()> block) {
    queue_->async([block = std::move(block)] {
        try {
            block();
        } catch (...) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 800017,
                                   "Exception on async Experimentation serial queue",
                                   CaughtException::current());
        }
    });
}

void KLVEManagerImpl::dispatchSyncOnSerialQueue(const std::function<void()>& block) const {
    queue_->sync([&block] {
        try {
            block();
        } catch (...) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 800018,
                                   "Exception on sync Experimentation serial queue",
                                   CaughtException::current());
        }
    });
}

// --- Registration and look-ups -----------------------------------------------------------------

std::shared_ptr<KLVEClient> KLVEManagerImpl::registerSDKProperty(
    const KLVESDKProperty& property, const platform::Dictionary& defaultFlags) {
    const std::string& name = property.name();
    if (name.empty()) {
        monitor().logWithLevel(kKLVLogError, 800001,
                               "Cannot register experiment client with no SDK name");
        return nullptr;
    }
    FlagMap flagsByName;
    std::vector<KLVPBFlag> flags;
    for (const auto& [flagName, value] : defaultFlags) {
        KLVPBFlagFailure failure;
        auto flag = KLVPBFlagWithNameAndValue(platform::Object(flagName), value, &failure);
        if (!flag) {
            monitor().logWithLevel(
                kKLVLogErrorMonitored, failure.code, failure.message,
                failure.context.empty() ? MonitorContext() : MonitorContext(failure.context));
            monitor().logWithLevel(
                kKLVLogError, 800002,
                "Cannot register experiment client invalid flags. Flag name, value", flagName,
                value);
            return nullptr;
        }
        flags.push_back(*flag);
        flagsByName.insert_or_assign(flagName, std::move(*flag));
    }
    auto client = std::make_shared<KLVEClient>(property, std::move(flags), weak_from_this());
    dispatchAsyncOnSerialQueue([self = shared_from_this(), client, property,
                                flagsByName = std::move(flagsByName)]() mutable {
        const std::string& name = property.name();
        if (self->registeredClientsBySDKName_.objectForKey(name)) {
            monitor().logWithLevel(kKLVLogWarning, 800003,
                                   "Registered an SDK that has already registered. Default flags "
                                   "will be overwritten. SDK name",
                                   name);
        }
        self->registeredClientsBySDKName_.setObject(client, name);
        self->defaultFlagsBySDKName_.setObject(std::move(flagsByName), name);
        KLVEExperimentRequestBuilder::sharedInstance().addSDKProperty(property);
        monitor().logWithLevel(kKLVLogVerbose, 800005, "Registered client", name);
    });
    return client;
}

std::shared_ptr<KLVEClient> KLVEManagerImpl::clientForSDKName(std::string_view SDKName) {
    if (SDKName.empty()) {
        monitor().logWithLevel(kKLVLogError, 800007, "Cannot find the client for empty SDK Name");
        return nullptr;
    }
    std::shared_ptr<KLVEClient> client;
    dispatchSyncOnSerialQueue(
        [&] { client = registeredClientsBySDKName_.objectForKey(SDKName).value_or(nullptr); });
    return client;
}

platform::Array KLVEManagerImpl::experimentIDs() const {
    std::vector<std::int32_t> ids;
    dispatchSyncOnSerialQueue([&] {
        for (const auto& [name, client] : registeredClientsBySDKName_.dictionary()) {
            // An SDK that diverts on a key of its own is not this user's measurement.
            if (!client->SDKProperty().diversionKey().empty()) continue;
            const auto snapshot = activatedSnapshotsBySDKName_.objectForKey(name);
            if (!snapshot || !*snapshot) continue;
            for (const auto& experiment : (*snapshot)->experiments())
                ids.push_back(experiment->experimentID());
        }
    });
    std::sort(ids.begin(), ids.end());
    return platform::Array(ids.begin(), ids.end());
}

platform::Object KLVEManagerImpl::flagValueForFlagName(std::string_view flagName,
                                                       std::string_view SDKName) {
    if (SDKName.empty()) {
        monitor().logWithLevel(kKLVLogError, 800010,
                               "Cannot retrieve flag value for empty SDK name");
        return {};
    }
    if (flagName.empty()) {
        monitor().logWithLevel(kKLVLogError, 800011,
                               "Cannot retrieve flag value for empty flag name");
        return {};
    }
    platform::Object value;
    dispatchSyncOnSerialQueue([&] { value = flagValueOnSerialQueue(flagName, SDKName); });
    return value;
}

platform::Object KLVEManagerImpl::flagValueOnSerialQueue(std::string_view flagName,
                                                         std::string_view SDKName) {
    if (!registeredClientsBySDKName_.objectForKey(SDKName)) {
        monitor().logWithLevel(kKLVLogWarning, 800012, "SDK is not registered yet", SDKName);
        return {};
    }
    const auto defaults = defaultFlagsBySDKName_.objectForKey(SDKName);
    if (!defaults) {
        monitor().logWithLevel(kKLVLogWarning, 800013,
                               "Cannot get flag for unregistered SDK. SDK name, flag name", SDKName,
                               flagName);
        return {};
    }
    // The pending snapshot is never read: it is not in force until activated.
    const auto activated = activatedSnapshotsBySDKName_.objectForKey(SDKName).value_or(nullptr);
    monitor().logWithLevel(kKLVLogVerbose, 800015,
                           "Looking for activated flag. SDK name, flag name, activated snapshot",
                           SDKName, flagName, describe(activated));
    if (activated) {
        const auto flag = activated->flagByName(flagName);
        if (auto value = KLVPBFlagValue(flag ? &*flag : nullptr); !value.isNull()) return value;
    }
    const auto launched = launchedSnapshotsBySDKName_.objectForKey(SDKName).value_or(nullptr);
    monitor().logWithLevel(kKLVLogVerbose, 800016,
                           "Cannot find activated flag. Looking for launched flag. SDK name, flag "
                           "name, launched flag",
                           SDKName, flagName, describe(launched));
    if (launched) {
        const auto flag = launched->flagByName(flagName);
        if (auto value = KLVPBFlagValue(flag ? &*flag : nullptr); !value.isNull()) return value;
    }
    const auto it = defaults->find(flagName);
    if (it == defaults->end()) {
        monitor().logWithLevel(kKLVLogVerbose, 800014, "No default flag value. SDK name, flag name",
                               SDKName, flagName);
        return {};
    }
    platform::Object value = KLVPBFlagValue(&it->second);
    monitor().logWithLevel(kKLVLogVerbose, 800019,
                           "Cannot find launched flag. Returned the default flag value. SDK name, "
                           "flag name, default flag",
                           SDKName, flagName, value);
    return value;
}

// --- Activation and reset ----------------------------------------------------------------------

bool KLVEManagerImpl::activateSnapshotOfSDK(std::string_view SDKName, platform::Error* error) {
    if (SDKName.empty()) {
        KLVSetError(error, kKLVErrorCodeBadArgument, "SDK name cannot be empty");
        monitor().logWithLevel(kKLVLogWarning, 800022,
                               "Cannot activate a pending snapshot for an empty SDK name");
        return false;
    }
    bool activated = false;
    dispatchSyncOnSerialQueue([&] {
        const auto pending = pendingSnapshotsBySDKName_.objectForKey(SDKName).value_or(nullptr);
        if (!pending) {
            monitor().logWithLevel(kKLVLogWarning, 800023,
                                   "No pending snapshot to activate. SDK name", SDKName);
            return;
        }
        const double now = platform::Clock::current().now();
        auto snapshot = KLVESnapshot::initWithSDKName(SDKName, {});
        snapshot->setTimestamp(now);
        for (const auto& experiment : pending->experiments()) {
            if (experiment->experimentID() != 0) {
                snapshot->addFlags(experiment->flags(), experiment->experimentID());
            } else {
                launchedSnapshotsBySDKName_.setObject(
                    KLVESnapshot::initWithSDKName(SDKName, {experiment}), std::string(SDKName));
            }
        }
        activatedSnapshotsBySDKName_.setObject(std::move(snapshot), std::string(SDKName));
        pendingSnapshotsBySDKName_.removeObjectForKey(SDKName);
        if (taskManager_) taskManager_->activatePendingSnapshot(pending, now);
        activated = true;
    });
    if (activated) {
        monitor().logWithLevel(kKLVLogVerbose, 800028, "Successfully activated a snapshot of SDK",
                               SDKName);
    }
    return activated;
}

std::int64_t KLVEManagerImpl::activatedSnapshotStatusOfSDKName(std::string_view SDKName) {
    if (SDKName.empty()) {
        monitor().logWithLevel(kKLVLogError, 800024,
                               "Cannot check activated snapshot for empty SDK Name");
        return -1;
    }
    std::int64_t status = -1;
    dispatchSyncOnSerialQueue([&] {
        if (!registeredClientsBySDKName_.objectForKey(SDKName)) return;
        const auto snapshot = activatedSnapshotsBySDKName_.objectForKey(SDKName).value_or(nullptr);
        if (!snapshot || !(snapshot->timestamp() > DBL_EPSILON)) {
            status = -2;
            return;
        }
        const double age = std::fabs(snapshot->timestamp() - platform::Clock::current().now());
        status = age > kStaleInterval ? 1 : 0;
    });
    return status;
}

void KLVEManagerImpl::resetToDefaultsOfSDKName(std::string_view SDKName) {
    if (SDKName.empty()) {
        monitor().logWithLevel(kKLVLogError, 800025, "Cannot reset to defaults for empty SDK Name");
        return;
    }
    dispatchSyncOnSerialQueue([&] {
        if (!activatedSnapshotsBySDKName_.objectForKey(SDKName)) {
            monitor().logWithLevel(kKLVLogError, 800026,
                                   "Cannot reset to defaults for unregistered SDK name", SDKName);
            return;
        }
        activatedSnapshotsBySDKName_.removeObjectForKey(SDKName);
        if (taskManager_) taskManager_->resetToDefaultsForSDKName(std::string(SDKName));
        monitor().logWithLevel(kKLVLogVerbose, 800027, "Reset all experiments to default. SDK name",
                               SDKName);
    });
}

void KLVEManagerImpl::reset() {
    forgetSnapshots(&KLVETaskManager::reset);
}

void KLVEManagerImpl::clearAndDelete() {
    forgetSnapshots(&KLVETaskManager::clearAndDelete);
}

void KLVEManagerImpl::forgetSnapshots(void (KLVETaskManager::*storeOperation)()) {
    dispatchAsyncOnSerialQueue([weak = weak_from_this(), storeOperation] {
        const auto self = weak.lock();
        if (!self) return;
        if (self->taskManager_) (self->taskManager_.get()->*storeOperation)();
        self->activatedSnapshotsBySDKName_.reset();
        self->pendingSnapshotsBySDKName_.reset();
        self->launchedSnapshotsBySDKName_.reset();
    });
}

// --- Task-manager callbacks --------------------------------------------------------------------

bool KLVEManagerImpl::taskManagerShouldFetchExperiments(KLVETaskManager&) {
    for (const auto& [name, client] : registeredClientsBySDKName_.dictionary()) {
        const auto delegate = client->delegate();
        if (!delegate || delegate->shouldFetchExperimentsForClient(*client)) return true;
    }
    return false;
}

void KLVEManagerImpl::taskManager(KLVETaskManager&, const Snapshots& activatedSnapshots,
                                  const Snapshots& pendingSnapshots,
                                  const Snapshots& launchedSnapshots) {
    dispatchAsyncOnSerialQueue(
        [weak = weak_from_this(), activatedSnapshots, pendingSnapshots, launchedSnapshots] {
            const auto self = weak.lock();
            if (!self) return;
            const auto load = [](SnapshotMap& map, const Snapshots& snapshots) {
                for (const auto& snapshot : snapshots) {
                    auto copy = snapshot->copy();
                    if (!copy) continue;
                    // Staleness counts from the activation, not from this start.
                    copy->setTimestamp(snapshot->timestamp());
                    map.setObject(std::move(copy), snapshot->SDKName());
                }
            };
            load(self->activatedSnapshotsBySDKName_, activatedSnapshots);
            load(self->pendingSnapshotsBySDKName_, pendingSnapshots);
            load(self->launchedSnapshotsBySDKName_, launchedSnapshots);
        });
}

void KLVEManagerImpl::taskManager(KLVETaskManager&, const Snapshots& fetchedSnapshots,
                                  const Errors& errors) {
    if (fetchedSnapshots.empty() && errors.empty()) {
        monitor().logWithLevel(kKLVLogWarning, 800020,
                               "No pending snapshots to notify the clients");
        return;
    }
    dispatchAsyncOnSerialQueue([weak = weak_from_this(), fetchedSnapshots, errors] {
        const auto self = weak.lock();
        if (!self) return;
        Snapshots notified;
        for (const auto& snapshot : fetchedSnapshots) {
            auto copy = snapshot->copy();
            if (!copy) continue;
            const auto client =
                self->registeredClientsBySDKName_.objectForKey(copy->SDKName()).value_or(nullptr);
            if (client && client->delegate()) {
                copy->setManuallyActivated(true);
                notified.push_back(copy);
            }
            self->pendingSnapshotsBySDKName_.setObject(copy, copy->SDKName());
        }
        for (const auto& [name, error] : errors) {
            const auto client =
                self->registeredClientsBySDKName_.objectForKey(name).value_or(nullptr);
            if (!client) continue;
            if (const auto delegate = client->delegate()) delegate->client(*client, &error);
        }
        if (!notified.empty() && self->taskManager_) {
            self->taskManager_->upsertPendingSnapshots(std::move(notified));
        }
    });
}

void KLVEManagerImpl::taskManager(KLVETaskManager&, const Snapshots& upsertedSnapshots) {
    for (const auto& snapshot : upsertedSnapshots) {
        const auto client =
            registeredClientsBySDKName_.objectForKey(snapshot->SDKName()).value_or(nullptr);
        const auto delegate = client ? client->delegate() : nullptr;
        if (!delegate) {
            monitor().logWithLevel(kKLVLogError, 800021,
                                   "Cannot notify new snapshot for SDK because the delegate does "
                                   "not implement -clientDidReceiveNewSnapshot:",
                                   snapshot->SDKName());
            continue;
        }
        // Never on the manager's queue, so that the delegate may activate at once.
        const auto queue = delegate->queue();
        platform::DispatchQueue& target = queue ? *queue : platform::mainQueue();
        target.async([client, weakDelegate = std::weak_ptr<KLVEClientDelegate>(delegate), queue] {
            if (const auto delegate = weakDelegate.lock())
                delegate->clientDidReceiveNewSnapshot(*client);
        });
    }
}

}  // namespace engine
