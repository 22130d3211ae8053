// Killing the process at any moment of writing, bundling or uploading loses nothing committed: a
// child process runs a real service that logs numbered events and uploads them to this process's
// loopback server, and is killed with SIGKILL at a seeded random point. The database must pass
// its integrity check, every number the child reported as committed must be stored or already
// taken by the server, and a restart on the same data root must deliver the rest, repeating only
// the bundles whose acknowledgement the kill cut, with their bundle_index unchanged.
// The child logs either one event at a time, each committed before the next, or in bursts
// logged without waiting, which the service writes in grouped transactions; that child is
// killed while a group is open.
//
// TESSALINE_KILL_RUNS sets the number of runs of each (default 8, 4 under the sanitizers),
// TESSALINE_KILL_SEED the first seed.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/bundles/BundleTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/measurement/KLVEventListenerNotifier.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/net/HttpClient.h"
#include "testkit/ChildProcess.h"
#include "testkit/LoopbackServer.h"
#include "testkit/TempHome.h"

namespace engine {
namespace {

constexpr char kAppID[] = "1:1001:ios:abc";
constexpr char kKillUploadHost[] = "upload.measurement.test";
constexpr char kEventName[] = "tick";
constexpr char kSequenceParameter[] = "seq";

// Set only in a child: its data root, the loopback server's port, and its role.
constexpr char kChildHome[] = "TESSALINE_KILL_CHILD_HOME";
constexpr char kChildPort[] = "TESSALINE_KILL_CHILD_PORT";
constexpr char kChildRole[] = "TESSALINE_KILL_CHILD_ROLE";
constexpr char kChildSeed[] = "TESSALINE_KILL_CHILD_SEED";
constexpr char kRoleWrite[] = "write";
constexpr char kRoleWriteBursts[] = "bursts";
constexpr char kRoleDrain[] = "drain";
// A report line of the bursts child: an event handled inside a group not yet committed.
constexpr char kHandledMark = '+';
constexpr char kDone[] = "done";
constexpr char kCertificateFile[] = "server.pem";

// A whole run of the child stays far below this; reaching it means the child is stuck.
constexpr std::chrono::seconds kPatience{60};

int environmentNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}

std::optional<std::int64_t> sequenceOf(const KLVPBEvent& event) {
    if (NANOGetString(event, KLVPBEvent::name) != kEventName) return std::nullopt;
    const auto parameters = testing::parametersOf(event);
    const auto found = parameters.find(kSequenceParameter);
    if (found == parameters.end() || !found->second.isInteger()) return std::nullopt;
    return found->second.asInteger();
}

// ---- The child ---------------------------------------------------------------------------------

// The roles of the child; they run only when started by KillTest.
class KillChildProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* home = std::getenv(kChildHome);
        if (!home) GTEST_SKIP() << "runs only as a child process of KillTest";
        platform::ProcessInfo::processInfo().setArguments({"engine_test"});
        platform::setDataRoot(home);
        std::ifstream pem(std::filesystem::path(home) / kCertificateFile);
        std::stringstream certificate;
        certificate << pem.rdbuf();
        auto& client = platform::HttpClient::shared();
        client.setTrustedCertificates(certificate.str());
        ASSERT_TRUE(
            client.setConnectTo(kKillUploadHost, "127.0.0.1", environmentNumber(kChildPort, 0)));
        testing::useMainBundle(std::filesystem::path(home) / "bundle",
                               {{"CFBundleIdentifier", "com.example.tessaline"},
                                {kKLVUploadHostInfoPlistKey, kKillUploadHost},
                                {kKLVConfigHostInfoPlistKey, kKillUploadHost}});
        holdExperimentFetch();
        // Told on the worker queue after an event was handled: one at a time, it is committed
        // then; in a burst its group is committed only when the block of the burst ends.
        const bool bursts = std::getenv(kChildRole) == std::string(kRoleWriteBursts);
        KLVSetEventListenerNotifier([this, bursts](const KLVEvent& event) {
            const auto sequence = sequenceOf(event.protoEvent());
            if (!sequence) return;
            if (!bursts) {
                testkit::ChildProcess::report(std::to_string(*sequence));
                return;
            }
            testkit::ChildProcess::report(kHandledMark + std::to_string(*sequence));
            handled_.push_back(*sequence);
        });
        KLVMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false, std::nullopt);
        service_ = KLVMeasurement::sharedInstance();
        ASSERT_TRUE(service_);
        onWorker([](KLVMeasurement& s) {
            ASSERT_TRUE(s.database());
            ASSERT_TRUE(
                s.remoteConfigInstance()->updateMeasurementConfig(testing::makeConfig(kAppID)));
        });
    }
    template <typename F>
    void onWorker(F f) {
        service_->scheduler()->workerQueue()->sync([&] { f(*service_); });
    }

    std::shared_ptr<KLVMeasurement> service_;
    // The bursts child's events handled since the last report (worker queue only).
    std::vector<std::int64_t> handled_;
};

// Logs numbered events for ever, each committed before the next, starting an upload whenever
// none is out; the parent kills it.
TEST_F(KillChildProcess, LogsAndUploads) {
    if (std::getenv(kChildRole) != std::string(kRoleWrite)) GTEST_SKIP();
    for (std::int64_t sequence = 0; sequence < 1000000; ++sequence) {
        service_->logEventWithOrigin("app", true, kEventName, {{kSequenceParameter, sequence}},
                                     platform::Clock::current().now(), true, false, false, nullptr,
                                     {});
        onWorker([](KLVMeasurement& s) {
            if (!s.isNetworkRequestPending()) s.uploadData();
        });
    }
    FAIL() << "the parent did not kill the child";
}

// Logs numbered events for ever in bursts of 1 to 700 logged without waiting, which the worker
// writes in groups of up to 500 while the next burst is logged. A block queued behind each burst
// reports its events as committed (their groups have ended when it runs) and starts an upload
// whenever none is out; the parent kills the child while a group is open.
TEST_F(KillChildProcess, LogsInBurstsAndUploads) {
    if (std::getenv(kChildRole) != std::string(kRoleWriteBursts)) GTEST_SKIP();
    std::mt19937 random(static_cast<std::uint32_t>(environmentNumber(kChildSeed, 1)));
    std::future<void> previous;
    std::int64_t sequence = 0;
    while (sequence < 10000000) {
        for (int n = std::uniform_int_distribution<int>(1, 700)(random); n > 0; --n, ++sequence) {
            service_->logEventWithOrigin("app", true, kEventName, {{kSequenceParameter, sequence}},
                                         platform::Clock::current().now(), true, false, false,
                                         nullptr, {});
        }
        auto reported = std::make_shared<std::promise<void>>();
        auto next = reported->get_future();
        service_->scheduler()->workerQueue()->async([this, reported] {
            for (const auto handled : handled_)
                testkit::ChildProcess::report(std::to_string(handled));
            handled_.clear();
            if (!service_->isNetworkRequestPending()) service_->uploadData();
            reported->set_value();
        });
        // The burst before this one is written: at most two wait, one handled, one logged.
        if (previous.valid()) previous.wait();
        previous = std::move(next);
    }
    FAIL() << "the parent did not kill the child";
}

// Uploads until nothing is stored and nothing is out, then reports "done".
TEST_F(KillChildProcess, DeliversWhatIsStored) {
    if (std::getenv(kChildRole) != std::string(kRoleDrain)) GTEST_SKIP();
    bool done = false;
    while (!done) {
        onWorker([&](KLVMeasurement& s) {
            if (s.isNetworkRequestPending()) return;
            if (s.hasDataToUpload()) {
                s.uploadData();
            } else {
                done = true;
            }
        });
    }
    testkit::ChildProcess::report(kDone);
    // The parent has what it needs; leave without running the service down.
    std::_Exit(0);
}

// ---- The parent --------------------------------------------------------------------------------

// One bundle as the server received it.
struct Received {
    std::size_t request = 0;
    std::int32_t bundleIndex = 0;
    std::vector<std::int64_t> sequences;
};

std::vector<Received> receivedBundles(const testkit::LoopbackServer& server) {
    std::vector<Received> out;
    const auto requests = server.requests();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].method != "POST" || requests[i].path != "/a") continue;
        for (const auto& bundle : testing::bundlesOf(testing::decodeUploadedBatch(requests[i]))) {
            Received received{i, NANOGetInt32(bundle, KLVPBMeasurementBundle::bundle_index), {}};
            for (const auto& event : testing::eventsOf(bundle)) {
                if (const auto sequence = sequenceOf(event))
                    received.sequences.push_back(*sequence);
            }
            if (!received.sequences.empty()) out.push_back(std::move(received));
        }
    }
    return out;
}

// What the killed child left in the database.
struct Stored {
    std::string integrity;
    std::set<std::int64_t> raw;
    std::map<std::int64_t, std::int32_t> queued;  // sequence → bundle_index
};

Stored readStore() {
    Stored stored;
    auto database = KLVDatabase::initWithDatabaseName(kKLVMeasurementDatabaseName,
                                                      KLVPersistedConfig::sharedInstance());
    EXPECT_TRUE(database);
    if (!database) return stored;
    auto& store = database->sqliteStore();
    stored.integrity = databaseIntegrity(store.databasePath());
    const auto rows = store.recordsForQuery("SELECT rowid, * FROM raw_events", {});
    EXPECT_TRUE(rows);
    for (const auto& row : rows.value_or(std::vector<platform::Dictionary>{})) {
        const auto raw = database->rawEventDataFromDictionary(row);
        EXPECT_TRUE(raw) << "an unreadable raw event";
        if (!raw) continue;
        if (const auto sequence = sequenceOf(raw->rawEvent().protoEvent()))
            stored.raw.insert(*sequence);
    }
    const auto queued = database->queryBundlesWithCountLimit(1 << 20, 1 << 30);
    EXPECT_TRUE(queued);
    for (const auto& entry : queued.value_or(std::vector<KLVQueuedBundle>{})) {
        for (const auto& event : testing::eventsOf(entry.bundle)) {
            if (const auto sequence = sequenceOf(event))
                stored.queued[*sequence] =
                    NANOGetInt32(entry.bundle, KLVPBMeasurementBundle::bundle_index);
        }
    }
    return stored;
}

// Where the parent kills the child.
enum class KillPoint {
    // After a random count of committed events: anywhere in writing, bundling or uploading.
    Writing,
    // While the server holds the answer to a request.
    HeldAnswer,
    // Just after the server answered a request, while the child takes the answer in.
    AfterAnswer,
};

// What the runs saw, printed at the end.
struct KillFigures {
    int runs = 0;
    std::size_t committed = 0;     // numbers the children reported committed
    std::size_t storedAtKill = 0;  // raw or queued when the child was killed
    std::size_t acknowledged = 0;  // taken by the server before the kill
    std::size_t delivered = 0;     // taken by the server after the restart
    std::size_t sentAgain = 0;     // of those, sent before the kill without an acknowledgement
    int killedInGroup = 0;         // runs killed with handled events not reported committed
    std::size_t openAtKill = 0;    // those events
};

// The numbers of a child's report lines: those committed, and how many were only handled.
struct Reported {
    std::set<std::int64_t> committed;
    std::set<std::int64_t> handled;
    void add(const std::string& line) {
        if (!line.empty() && line.front() == kHandledMark) {
            handled.insert(std::stoll(line.substr(1)));
        } else {
            committed.insert(std::stoll(line));
        }
    }
    // Handled in a group that the kill left uncommitted (or committed unreported).
    std::size_t open() const {
        return static_cast<std::size_t>(
            std::count_if(handled.begin(), handled.end(),
                          [&](std::int64_t sequence) { return committed.count(sequence) == 0; }));
    }
};

void runOnce(std::uint32_t seed, bool bursts, KillFigures& figures) {
    SCOPED_TRACE(std::string(bursts ? "bursts, " : "") + "seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const auto uniform = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    testkit::TempHome home;
    const auto startChild = [&](const std::string& role, const testkit::LoopbackServer& server) {
        std::ofstream(home.path() / kCertificateFile) << server.certificatePEM();
        return std::make_unique<testkit::ChildProcess>(
            "KillChildProcess.*", std::vector<std::pair<std::string, std::string>>{
                                      {kChildHome, home.path().string()},
                                      {kChildPort, std::to_string(server.port())},
                                      {kChildRole, role},
                                      {kChildSeed, std::to_string(seed)}});
    };

    // The first life, killed. The bursts child is killed while writing, just after it handled
    // an event of an open group.
    const auto point = bursts ? KillPoint::Writing : static_cast<KillPoint>(uniform(0, 2));
    testkit::LoopbackServer first{{{kKillUploadHost}}};
    ASSERT_TRUE(first.isRunning());
    // Requests from this index on were never answered before the kill.
    std::size_t unanswered = SIZE_MAX;
    const int answered = uniform(0, 3);
    if (point == KillPoint::HeldAnswer) {
        for (int i = 0; i < answered; ++i)
            first.answer("POST", "/a", {204, {}, "", 0, false});
        first.answer("POST", "/a", {204, {}, "", 600, false});
        unanswered = static_cast<std::size_t>(answered);
    } else {
        first.answer("POST", "/a", {204, {}, "", 0, false});
    }
    Reported lines;
    {
        auto child = startChild(bursts ? kRoleWriteBursts : kRoleWrite, first);
        ASSERT_TRUE(child->isRunning());
        if (bursts) {
            // Past the first committed burst, then on to a handled event, of a group still
            // open as the line is read.
            const auto wanted = static_cast<std::size_t>(uniform(1, 3000));
            while (lines.committed.empty() || lines.handled.size() < wanted) {
                const auto line = child->readLine(kPatience);
                ASSERT_TRUE(line) << "the child stopped reporting";
                lines.add(*line);
            }
        } else if (point == KillPoint::Writing) {
            for (int wanted = uniform(1, 400); wanted > 0; --wanted) {
                const auto line = child->readLine(kPatience);
                ASSERT_TRUE(line) << "the child stopped reporting";
                lines.add(*line);
            }
        } else {
            // The child reports far fewer lines than the pipe holds before its first uploads.
            ASSERT_TRUE(first.waitForRequests(static_cast<std::size_t>(answered) + 1, kPatience));
            for (int more = point == KillPoint::HeldAnswer ? uniform(0, 20) : 0; more > 0; --more) {
                const auto line = child->readLine(kPatience);
                ASSERT_TRUE(line);
                lines.add(*line);
            }
        }
        child->kill();
        while (const auto line = child->readLine(kPatience))
            lines.add(*line);
    }
    first.stop();
    const auto beforeKill = receivedBundles(first);
    const std::set<std::int64_t>& reported = lines.committed;
    ASSERT_FALSE(reported.empty());

    // What the kill left behind.
    std::set<std::int64_t> acknowledged;
    for (const auto& bundle : beforeKill) {
        if (bundle.request < unanswered)
            acknowledged.insert(bundle.sequences.begin(), bundle.sequences.end());
    }
    std::set<std::int64_t> left;
    {
        const Stored stored = readStore();
        EXPECT_EQ(stored.integrity, "ok");
        left = stored.raw;
        for (const auto& [sequence, index] : stored.queued) {
            EXPECT_FALSE(stored.raw.count(sequence)) << sequence << " is raw and queued";
            left.insert(sequence);
        }
        for (const auto sequence : reported) {
            EXPECT_TRUE(left.count(sequence) || acknowledged.count(sequence))
                << "committed event " << sequence << " is lost";
        }
    }
    platform::resetSharedInstances();
    platform::setDataRoot(home.path());

    // The second life delivers everything.
    testkit::LoopbackServer second{{{kKillUploadHost}}};
    ASSERT_TRUE(second.isRunning());
    second.answer("POST", "/a", {204, {}, "", 0, false});
    {
        auto child = startChild(kRoleDrain, second);
        ASSERT_TRUE(child->isRunning());
        EXPECT_EQ(child->readLine(kPatience), std::optional<std::string>(kDone));
        EXPECT_EQ(child->wait(), 0);
    }
    second.stop();
    const auto afterRestart = receivedBundles(second);

    std::map<std::int64_t, const Received*> firstSeen;
    std::size_t lastRequest = 0;
    for (const auto& bundle : beforeKill) {
        lastRequest = std::max(lastRequest, bundle.request);
        for (const auto sequence : bundle.sequences) {
            EXPECT_TRUE(firstSeen.emplace(sequence, &bundle).second)
                << sequence << " was sent twice before the kill";
        }
    }
    std::set<std::int64_t> delivered;
    for (const auto& bundle : afterRestart) {
        for (const auto sequence : bundle.sequences) {
            EXPECT_TRUE(delivered.insert(sequence).second)
                << sequence << " was sent twice after the restart";
            const auto earlier = firstSeen.find(sequence);
            if (earlier == firstSeen.end()) continue;
            // Sent again: only the last request's bundles can have lost their acknowledgement.
            EXPECT_EQ(earlier->second->request, lastRequest)
                << sequence << " was acknowledged and sent again";
            EXPECT_EQ(earlier->second->bundleIndex, bundle.bundleIndex)
                << "the bundle of " << sequence << " changed its index";
        }
    }
    for (const auto sequence : reported) {
        EXPECT_TRUE(delivered.count(sequence) || acknowledged.count(sequence))
            << "committed event " << sequence << " never arrived";
    }
    for (const auto sequence : left) {
        EXPECT_TRUE(delivered.count(sequence)) << "stored event " << sequence << " never arrived";
    }
    ++figures.runs;
    figures.killedInGroup += lines.open() > 0 ? 1 : 0;
    figures.openAtKill += lines.open();
    figures.committed += reported.size();
    figures.storedAtKill += left.size();
    figures.acknowledged += acknowledged.size();
    figures.delivered += delivered.size();
    figures.sentAgain += static_cast<std::size_t>(
        std::count_if(delivered.begin(), delivered.end(),
                      [&](std::int64_t sequence) { return firstSeen.count(sequence) != 0; }));
}

// Fewer runs by default under the sanitizers, where each child starts several times slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kDefaultRuns = 4;
#else
constexpr int kDefaultRuns = 8;
#endif

void runAll(bool bursts) {
    const int runs = environmentNumber("TESSALINE_KILL_RUNS", kDefaultRuns);
    const int firstSeed = environmentNumber("TESSALINE_KILL_SEED", 1);
    KillFigures figures;
    for (int run = 0; run < runs && !::testing::Test::HasFatalFailure(); ++run)
        runOnce(static_cast<std::uint32_t>(firstSeed + run), bursts, figures);
    std::printf(
        "kill%s: %d runs; %zu events reported committed, %zu stored at the kill, %zu "
        "acknowledged before it; %zu delivered after the restart, %zu of them sent again "
        "(acknowledgement cut by the kill)\n",
        bursts ? " in bursts" : "", figures.runs, figures.committed, figures.storedAtKill,
        figures.acknowledged, figures.delivered, figures.sentAgain);
    if (bursts) {
        std::printf(
            "kill in bursts: %d of the runs killed a group open (%zu events handled, "
            "not reported committed)\n",
            figures.killedInGroup, figures.openAtKill);
    }
}

TEST(KillTest, CommittedEventsSurviveSIGKILLAndArriveAfterRestart) {
    runAll(false);
}

// Events logged without waiting are written in grouped transactions: a kill inside an open group
// loses only that group's uncommitted events, never one of a group reported committed.
TEST(KillTest, CommittedGroupsSurviveSIGKILLAndArriveAfterRestart) {
    runAll(true);
}

}  // namespace
}  // namespace engine
