#include <gtest/gtest.h>

#include "engine/experiments/ExperimentsTestSupport.h"
#include "engine/experiments/KLVEManagerImpl.h"

namespace engine {
namespace {

using platform::Array;
using platform::Object;
using testing::kNow;
using testing::makeExperimentMessage;
using testing::makeFlag;
using testing::makeSnapshotMessage;

// A client delegate that counts what it is told.
class RecordingClientDelegate : public KLVEClientDelegate {
  public:
    void clientDidReceiveNewSnapshot(KLVEClient&) override { ++notices; }
    void client(KLVEClient&, const platform::Error* error) override {
        if (error) errors.push_back(*error);
    }
    bool shouldFetchExperimentsForClient(KLVEClient&) override { return true; }

    std::atomic<int> notices{0};
    std::vector<platform::Error> errors;
};

class KLVEManagerImplTest : public testing::ExperimentsTest {
  protected:
    void SetUp() override {
        ExperimentsTest::SetUp();
        manager_ = KLVEManagerImpl::initWithTaskManager(taskManager_);
        taskManager_->startTaskManager();
        settle();
    }
    void TearDown() override {
        settle();
        manager_.reset();
        ExperimentsTest::TearDown();
    }
    // Waits for both queues, twice, since each queues work on the other.
    void settle() {
        for (int i = 0; i < 2; ++i) {
            testkit::drain(manager_->queue());
            testkit::drain(*queue_);
        }
    }
    std::shared_ptr<KLVEClient> registerSDK(const std::string& name,
                                            const platform::Dictionary& defaults = {},
                                            const std::string& diversionKey = "") {
        auto property = KLVESDKProperty::initWithName(name);
        property.setDiversionKey(diversionKey);
        auto client = manager_->registerSDKProperty(property, defaults);
        settle();
        return client;
    }
    // Hands snapshots to the manager as the task manager's start does.
    void load(const KLVETaskManager::Snapshots& activated,
              const KLVETaskManager::Snapshots& pending,
              const KLVETaskManager::Snapshots& launched) {
        manager_->taskManager(*taskManager_, activated, pending, launched);
        settle();
    }
    static std::shared_ptr<KLVESnapshot> snapshot(const std::string& name,
                                                  const std::vector<KLVPBExperiment>& experiments,
                                                  double t = kNow) {
        auto s = KLVESnapshot::initWithProtobuf(makeSnapshotMessage(name, experiments));
        s->setTimestamp(t);
        return s;
    }

    std::shared_ptr<KLVEManagerImpl> manager_;
};

TEST_F(KLVEManagerImplTest, LookUpOrderActivatedLaunchedDefaultsNeverPending) {
    const auto client = registerSDK("sdk", {{"f", "default"}, {"d", 1}, {"h", "dh"}});
    KLVPBFlag valueless;
    NANOSetString(valueless, KLVPBFlag::name, "h");
    load({snapshot("sdk", {makeExperimentMessage(5, {makeFlag("f", "act"), valueless})})},
         {snapshot("sdk", {makeExperimentMessage(9, {makeFlag("f", "pend"), makeFlag("p", 1)})})},
         {snapshot("sdk", {makeExperimentMessage(0, {makeFlag("g", 2.5), makeFlag("h", "lh")})})});
    const std::pair<const char*, Object> cases[] = {
        {"f", Object("act")}, {"g", Object(2.5)}, {"h", Object("lh")},
        {"d", Object(1)},     {"p", Object()},    {"missing", Object()},
    };
    for (const auto& [flag, expected] : cases)
        EXPECT_EQ(client->objectForKeyedSubscript(flag), expected) << flag;
    EXPECT_EQ(manager_->flagValueForFlagName("f", "unknown"), Object());
    EXPECT_EQ(client->valueForFlag(""), Object());
    EXPECT_GT(logCount(830002), 0u);
}

TEST_F(KLVEManagerImplTest, ActivationWithAndWithoutExperimentZero) {
    const auto client = registerSDK("sdk", {{"f", "default"}});
    platform::Error error{"untouched", 99, "", {}};
    EXPECT_FALSE(client->activateLatestSnapshot(&error));
    EXPECT_EQ(error.code, 99);

    load({},
         {snapshot("sdk", {makeExperimentMessage(0, {makeFlag("f", "launched")}),
                           makeExperimentMessage(7, {makeFlag("f", "seven")})})},
         {});
    EXPECT_TRUE(client->activateLatestSnapshot(&error));
    EXPECT_EQ(client->objectForKeyedSubscript("f"), Object("seven"));
    EXPECT_EQ(manager_->experimentIDs(), Array{7});
    EXPECT_FALSE(client->activateLatestSnapshot(&error));  // the pending one is used up

    // Only experiment 0: nothing activated, the launched value answers.
    load({}, {snapshot("sdk", {makeExperimentMessage(0, {makeFlag("f", "new launch")})})}, {});
    EXPECT_TRUE(client->activateLatestSnapshot(nullptr));
    EXPECT_EQ(client->objectForKeyedSubscript("f"), Object("new launch"));
    EXPECT_EQ(manager_->experimentIDs(), Array{});

    // Without experiment 0 the launched snapshot stays.
    load({}, {snapshot("sdk", {makeExperimentMessage(8, {makeFlag("g", 1)})})}, {});
    EXPECT_TRUE(client->activateLatestSnapshot(nullptr));
    EXPECT_EQ(client->objectForKeyedSubscript("f"), Object("new launch"));
    EXPECT_EQ(client->objectForKeyedSubscript("g"), Object(1));

    client->resetToDefaults();
    EXPECT_EQ(client->objectForKeyedSubscript("g"), Object());
    EXPECT_EQ(client->objectForKeyedSubscript("f"), Object("new launch"));
    settle();
    onWorker([&] { EXPECT_TRUE(taskManager_->database()->fetchAllActivatedSnapshots()->empty()); });
}

TEST_F(KLVEManagerImplTest, StatusOfTheActivatedSnapshot) {
    // SDK name, age of its activated snapshot (nullopt: none), status.
    const std::tuple<const char*, std::optional<double>, std::int64_t> cases[] = {
        {"fresh", 0, 0},       {"edge", 259200, 0}, {"stale", 259201, 1},
        {"ahead", -259201, 1}, {"none", {}, -2},    {"zero", kNow, -2},
    };
    KLVETaskManager::Snapshots activated;
    for (const auto& [name, age, status] : cases) {
        registerSDK(name);
        if (age) activated.push_back(snapshot(name, {makeExperimentMessage(1, {})}, kNow - *age));
    }
    // Loaded copies keep their stored time.
    load(activated, {}, {});
    for (const auto& [name, age, status] : cases)
        EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName(name), status) << name;
    EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("unregistered"), -1);
    EXPECT_TRUE(manager_->clientForSDKName("stale")->hasStaleSnapshot());
}

TEST_F(KLVEManagerImplTest, ExperimentIDsSortedWithDuplicatesOwnKeyClientsLeftOut) {
    registerSDK("a");
    registerSDK("b");
    registerSDK("c", {}, "own-key");
    const auto experiments = [](std::vector<std::int32_t> ids) {
        std::vector<KLVPBExperiment> out;
        for (const auto id : ids)
            out.push_back(makeExperimentMessage(id, {makeFlag("f", 1)}));
        return out;
    };
    load({snapshot("a", experiments({11, 3})), snapshot("b", experiments({7, 3})),
          snapshot("c", experiments({1}))},
         {}, {});
    EXPECT_EQ(manager_->experimentIDs(), (Array{3, 3, 7, 11}));
}

TEST_F(KLVEManagerImplTest, RegistrationReplacesDefaultsAndRefusesBadValues) {
    const auto first = registerSDK("brackenfold", {{"f", "one"}});
    const auto second = registerSDK("brackenfold", {{"f", "two"}});
    EXPECT_NE(first, second);
    EXPECT_EQ(first->objectForKeyedSubscript("f"), Object("two"));
    EXPECT_EQ(logCount(800003), 1u);

    EXPECT_EQ(registerSDK("bad", {{"ok", 1}, {"x", Array{1}}}), nullptr);
    EXPECT_EQ(logCount(800002), 1u);
    EXPECT_TRUE(logLine(850002).find("Flag value is invalid") != std::string::npos);
    EXPECT_EQ(manager_->clientForSDKName("bad"), nullptr);
    EXPECT_EQ(registerSDK(""), nullptr);
}

TEST_F(KLVEManagerImplTest, FetchedSnapshotsNotifyDelegatesOrWaitForTheNextStart) {
    const auto notified = registerSDK("notified");
    const auto delegate = std::make_shared<RecordingClientDelegate>();
    notified->setDelegate(delegate);
    registerSDK("silent");
    manager_->taskManager(*taskManager_,
                          {snapshot("notified", {makeExperimentMessage(2, {makeFlag("f", 1)})}),
                           snapshot("silent", {makeExperimentMessage(3, {makeFlag("f", 1)})})},
                          {{"notified", platform::Error{kKLVExperimentErrorDomain, -2, "", {}}}});
    settle();
    platform::runUntilIdle();
    EXPECT_EQ(delegate->notices.load(), 1);
    ASSERT_EQ(delegate->errors.size(), 1u);
    EXPECT_EQ(delegate->errors[0].code, -2);

    // Only the snapshot of the delegate's SDK is rewritten as waiting for its client.
    onWorker([&] {
        const auto pending = taskManager_->database()->fetchAllPendingSnapshots();
        ASSERT_TRUE(pending);
        ASSERT_EQ(pending->size(), 1u);
        EXPECT_EQ((*pending)[0]->SDKName(), "notified");
        EXPECT_TRUE((*pending)[0]->manuallyActivated());
    });
    // Nobody asks to fetch: a client without a delegate lets it happen.
    EXPECT_TRUE(manager_->taskManagerShouldFetchExperiments(*taskManager_));
    EXPECT_TRUE(notified->activateLatestSnapshot(nullptr));
    EXPECT_TRUE(manager_->clientForSDKName("silent")->activateLatestSnapshot(nullptr));

    manager_->taskManager(*taskManager_, {}, {});
    EXPECT_EQ(logCount(800020), 1u);
}

}  // namespace
}  // namespace engine
