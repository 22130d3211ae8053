#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/UserDefaultsWriter.h"
#include "testkit/ChildProcess.h"
#include "testkit/LogCapture.h"
#include "testkit/TempHome.h"

namespace platform {
namespace {

// Holds the background writer until released, so that a write stays pending for as long as a
// test needs it to.
class HeldWriter {
  public:
    HeldWriter() {
        EXPECT_TRUE(userdefaults::scheduleWrite([state = state_] {
            std::unique_lock lock(state->mutex);
            state->released.wait(lock, [&state] { return state->open; });
        }));
    }
    ~HeldWriter() {
        std::lock_guard lock(state_->mutex);
        state_->open = true;
        state_->released.notify_all();
    }
    HeldWriter(const HeldWriter&) = delete;
    HeldWriter& operator=(const HeldWriter&) = delete;

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable released;
        bool open = false;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// The data root a child process works in; set only in the child.
constexpr const char* kChildHome = "TESSALINE_DEFAULTS_CHILD_HOME";

// Runs UserDefaultsChildProcess.<test> of this binary as another process working in `home`; its
// exit code, or -1 when it did not exit normally. The child's test output is dropped.
int runChild(const std::string& test, const std::filesystem::path& home) {
    testkit::ChildProcess child("UserDefaultsChildProcess." + test, {{kChildHome, home.string()}});
    return child.wait();
}

class UserDefaultsTest : public testkit::TempHomeTest {
  protected:
    void SetUp() override {
        // The standard suite is named after the main bundle; give the tests one without Info.plist.
        Bundle::setMainBundleDirectory(homePath() / "resources");
    }

    std::filesystem::path suiteFile(const std::string& name) const {
        return homePath() / "Library" / "Preferences" / (name + ".plist");
    }

    // What a later launch sees: every in-process state dropped, the files read anew.
    void relaunch() {
        resetSharedInstances();
        Bundle::setMainBundleDirectory(homePath() / "resources");
    }

    testkit::LogCapture log_;
};

TEST_F(UserDefaultsTest, ValuesSurviveAReloadFromDisk) {
    const Object stored = Object::dict({{"n", -42},
                                        {"list", Object::array({1.5, "x", true})},
                                        {"when", Date{1700000000.5}},
                                        {"bytes", Data{0, 255}}});
    {
        UserDefaults defaults("com.example.suite");
        ASSERT_TRUE(defaults.setObject(stored, "record"));
        defaults.setBool(true, "flag");
        defaults.setInteger(std::numeric_limits<std::int64_t>::min(), "min");
        ASSERT_TRUE(defaults.synchronize());
    }
    ASSERT_TRUE(fileExists(suiteFile("com.example.suite")));
    PropertyListFormat format{};
    ASSERT_TRUE(readPropertyListFile(suiteFile("com.example.suite"), nullptr, &format));
    EXPECT_EQ(format, PropertyListFormat::Binary);

    relaunch();
    UserDefaults reloaded("com.example.suite");
    EXPECT_EQ(reloaded.objectForKey("record"), stored);
    EXPECT_EQ(reloaded.objectForKey("flag"), Object(true));
    EXPECT_EQ(reloaded.objectForKey("min"), Object(std::numeric_limits<std::int64_t>::min()));
}

TEST_F(UserDefaultsTest, SuitesAreSeparateAndObjectsOfOneSuiteShareState) {
    UserDefaults first("first");
    UserDefaults second("second");
    UserDefaults alsoFirst("first");
    first.setObject("one", "key");
    EXPECT_TRUE(second.objectForKey("key").isNull());
    EXPECT_EQ(alsoFirst.objectForKey("key"), Object("one"));

    UserDefaults::standardUserDefaults().setObject(1, "standard");
    EXPECT_EQ(UserDefaults("").objectForKey("standard"), Object(1));
    ASSERT_TRUE(UserDefaults::standardUserDefaults().synchronize());
    EXPECT_TRUE(fileExists(suiteFile("tessaline")));
}

TEST_F(UserDefaultsTest, StandardSuiteIsNamedAfterTheMainBundle) {
    ASSERT_TRUE(createDirectories(homePath() / "resources"));
    ASSERT_TRUE(writePropertyListFile(homePath() / "resources" / "Info.plist",
                                      Object::dict({{"CFBundleIdentifier", "com.example.app"}}),
                                      PropertyListFormat::XML));
    relaunch();
    EXPECT_EQ(UserDefaults::standardSuiteName(), "com.example.app");
}

TEST_F(UserDefaultsTest, SuiteNamesCannotLeaveThePreferencesFolder) {
    for (const char* suite : {"../evil/x", ".hidden"}) {
        UserDefaults defaults(suite);
        defaults.setBool(true, "k");
        ASSERT_TRUE(defaults.synchronize());
    }
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(homePath() / "Library" / "Preferences")) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"%2E.%2Fevil%2Fx.plist", "%2Ehidden.plist"}));
    EXPECT_FALSE(fileExists(homePath() / "Library" / "evil"));
}

TEST_F(UserDefaultsTest, RegisteredDefaultsAnswerOnlyWhereNothingIsStored) {
    UserDefaults defaults("suite");
    defaults.registerDefaults({{"a", 1}, {"b", "registered"}});
    defaults.setInteger(2, "a");
    EXPECT_EQ(defaults.dictionaryRepresentation(), (Dictionary{{"a", 2}, {"b", "registered"}}));
    defaults.removeObjectForKey("a");
    EXPECT_EQ(defaults.integerForKey("a"), 1);

    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(readPropertyListFile(suiteFile("suite")), Object(Dictionary{}));  // never persisted
    relaunch();
    EXPECT_TRUE(UserDefaults("suite").objectForKey("b").isNull());
}

struct Conversion {
    const char* name;
    Object stored;
    bool asBool;
    std::int64_t asInteger;
    double asDouble;
    std::optional<std::string> asString;
};

TEST_F(UserDefaultsTest, TypedGettersConvertAsThePhoneDoes) {
    const Conversion cases[] = {
        {"true", true, true, 1, 1, "1"},

        {"double", 2.9, true, 2, 2.9, "2.9"},
        {"huge double", 1e300, true, 0, 1e300, "1e+300"},
        {"YES", "YES", true, 0, 0, "YES"},

        {"leading number", "42abc", true, 42, 42, "42abc"},
        {"signed decimal", " -3.9", true, -3, -3.9, " -3.9"},

        {"word", "abc", false, 0, 0, "abc"},
        {"integer overflow", "99999999999999999999", true, std::numeric_limits<std::int64_t>::max(),
         1e20, "99999999999999999999"},
        {"array", Object::array({1}), false, 0, 0, std::nullopt},

    };
    UserDefaults defaults("conversions");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(defaults.setObject(c.stored, "k"));
        EXPECT_EQ(defaults.boolForKey("k"), c.asBool);
        EXPECT_EQ(defaults.integerForKey("k"), c.asInteger);
        EXPECT_DOUBLE_EQ(defaults.doubleForKey("k"), c.asDouble);
        EXPECT_EQ(defaults.stringForKey("k"), c.asString);
    }
    EXPECT_EQ(defaults.stringForKey("missing"), std::nullopt);
}

TEST_F(UserDefaultsTest, KindGettersAnswerOnlyTheirKind) {
    UserDefaults defaults("kinds");
    defaults.setObject(Object::array({1}), "array");
    defaults.setObject(Object::dict({{"a", 1}}), "dict");
    defaults.setObject(Data{1}, "data");
    defaults.setObject(Date{10}, "date");
    EXPECT_EQ(defaults.arrayForKey("array"), (Array{1}));
    EXPECT_EQ(defaults.dictionaryForKey("dict"), (Dictionary{{"a", 1}}));
    EXPECT_EQ(defaults.dataForKey("data"), (Data{1}));
    EXPECT_FALSE(defaults.arrayForKey("dict"));
    EXPECT_FALSE(defaults.dateForKey("data"));
}

TEST_F(UserDefaultsTest, ValuesWithoutPropertyListFormAreRefused) {
    UserDefaults defaults("suite");
    defaults.setObject("kept", "k");
    EXPECT_FALSE(defaults.setObject(Object::array({1, Object()}), "k"));
    EXPECT_FALSE(defaults.setObject("bad \xff", "k"));
    EXPECT_FALSE(defaults.setObject(1, std::string("a\0b", 3)));
    EXPECT_EQ(defaults.objectForKey("k"), Object("kept"));
    EXPECT_EQ(log_.lines().size(), 3u);
    EXPECT_TRUE(defaults.setObject(Object(), "k"));  // null removes
    EXPECT_TRUE(defaults.objectForKey("k").isNull());
}

TEST_F(UserDefaultsTest, ADamagedFileIsSetAsideNotLost) {
    ASSERT_TRUE(createDirectories(suiteFile("x").parent_path()));
    ASSERT_TRUE(writeFileAtomically(suiteFile("damaged"), std::string_view("not a plist")));
    UserDefaults defaults("damaged");
    EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
    EXPECT_EQ(readTextFile(suiteFile("damaged").string() + ".corrupt"), "not a plist");
    ASSERT_EQ(log_.lines().size(), 1u);
    EXPECT_NE(log_.lines()[0].find("damaged"), std::string::npos);
    defaults.setBool(true, "ok");
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(readPropertyListFile(suiteFile("damaged")), Object::dict({{"ok", true}}));
}

TEST_F(UserDefaultsTest, AFileThatCannotBeReadIsNeverWrittenOver) {
    ASSERT_TRUE(createDirectories(suiteFile("x").parent_path()));
    // Too large for the reader: it stands for any read that fails (no descriptors left, an I/O
    // error) while the file itself is sound.
    const std::string unreadable(kMaxPropertyListBytes + 1, ' ');
    ASSERT_TRUE(writeFileAtomically(suiteFile("stuck"), unreadable));
    UserDefaults defaults("stuck");
    EXPECT_FALSE(defaults.setObject(1, "new"));
    defaults.removeObjectForKey("old");
    EXPECT_FALSE(defaults.synchronize());
    EXPECT_TRUE(readTextFile(suiteFile("stuck")) == unreadable) << "the file was replaced";
    EXPECT_TRUE(defaults.objectForKey("new").isNull());
    EXPECT_FALSE(log_.lines().empty());

    // Readable again: the next change takes in what the file holds.
    ASSERT_TRUE(writePropertyListFile(suiteFile("stuck"), Object::dict({{"old", 1}}),
                                      PropertyListFormat::Binary));
    EXPECT_TRUE(defaults.setObject(2, "new"));
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(readPropertyListFile(suiteFile("stuck")), Object::dict({{"new", 2}, {"old", 1}}));
}

TEST_F(UserDefaultsTest, AFailedWriteIsKeptAndRetried) {
    UserDefaults defaults("suite");
    defaults.setInteger(1, "a");
    ASSERT_TRUE(defaults.synchronize());
    const auto preferences = suiteFile("suite").parent_path();
    ASSERT_TRUE(removeItem(preferences));
    ASSERT_TRUE(writeFileAtomically(preferences, std::string_view("a file in the way")));

    defaults.setInteger(2, "a");
    EXPECT_EQ(defaults.integerForKey("a"), 2);
    EXPECT_FALSE(defaults.synchronize());
    EXPECT_FALSE(log_.lines().empty());

    ASSERT_TRUE(removeItem(preferences));
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_EQ(readPropertyListFile(suiteFile("suite")), Object::dict({{"a", 2}}));
}

TEST_F(UserDefaultsTest, ChangesGoOutTogetherInOneBackgroundWrite) {
    UserDefaults defaults("many");
    Dictionary expected;
    {
        const HeldWriter held;
        for (int i = 0; i < 100; ++i) {
            const std::string key = "key" + std::to_string(i);
            defaults.setInteger(i, key);
            expected[key] = i;
        }
        EXPECT_EQ(defaults.integerForKey("key99"), 99);  // readers see a change at once
        EXPECT_FALSE(fileExists(suiteFile("many")));     // no caller waited for the disk
    }
    userdefaults::waitUntilIdle();
    EXPECT_EQ(readPropertyListFile(suiteFile("many")), Object(expected));
    EXPECT_TRUE(defaults.synchronize());
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(suiteFile("many").parent_path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"many.plist"});  // no temporary file left behind
}

TEST_F(UserDefaultsTest, AnotherProcessReadsWhatSynchronizeWroteAndWritesItsOwnOnExit) {
    UserDefaults defaults("child");
    {
        const HeldWriter held;  // synchronize() must write, not wait for the background writer
        defaults.setObject("parent", "from");
        defaults.setInteger(7, "n");
        ASSERT_TRUE(defaults.synchronize());
        EXPECT_EQ(runChild("ReadsRepliesAndExits", homePath()), 0);
    }
    EXPECT_TRUE(defaults.objectForKey("reply").isNull());  // reads answer from memory
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_EQ(defaults.dictionaryRepresentation(),
              (Dictionary{{"from", "parent"}, {"n", 7}, {"reply", "child"}}));
    // A normal exit wrote what was pending, and a change made during the exit.
    Dictionary expected{{"atExit", true}};
    for (int i = 0; i < 200; ++i) {
        expected["key" + std::to_string(i)] = i;
    }
    EXPECT_EQ(readPropertyListFile(suiteFile("exiting")), Object(expected));
}

TEST_F(UserDefaultsTest, PendingChangesAreLaidOverAFileAnotherProcessWrote) {
    ASSERT_TRUE(createDirectories(suiteFile("merged").parent_path()));
    ASSERT_TRUE(writePropertyListFile(suiteFile("merged"), Object::dict({{"both", 1}}),
                                      PropertyListFormat::Binary));
    UserDefaults defaults("merged");
    {
        const HeldWriter held;
        defaults.setObject("mine", "both");
        defaults.setObject("mine", "own");
        // Another process writes while this one's change is still pending.
        ASSERT_TRUE(writePropertyListFile(suiteFile("merged"),
                                          Object::dict({{"both", "theirs"}, {"other", 2}}),
                                          PropertyListFormat::Binary));
    }
    userdefaults::waitUntilIdle();
    EXPECT_EQ(readPropertyListFile(suiteFile("merged")),
              Object::dict({{"both", "mine"}, {"other", 2}, {"own", "mine"}}));
    EXPECT_EQ(defaults.objectForKey("other"), Object(2));
}

TEST_F(UserDefaultsTest, APendingWriteDoesNotBringBackARemovedSuite) {
    UserDefaults defaults("gone");
    defaults.setBool(true, "old");
    ASSERT_TRUE(defaults.synchronize());
    userdefaults::waitUntilIdle();  // the write queued by the first change has run
    {
        const HeldWriter held;
        defaults.setBool(true, "pending");
        defaults.removePersistentDomainForName("gone");
    }
    userdefaults::waitUntilIdle();
    EXPECT_FALSE(fileExists(suiteFile("gone")));
    EXPECT_TRUE(defaults.dictionaryRepresentation().empty());

    // Removals that meet the write wherever it is: queued, under way or done.
    for (int round = 0; round < 20; ++round) {
        defaults.setInteger(round, "k");
        defaults.removePersistentDomainForName("gone");
    }
    userdefaults::waitUntilIdle();
    EXPECT_FALSE(fileExists(suiteFile("gone")));
}

TEST_F(UserDefaultsTest, APendingChangeIsNotWrittenOverAFileThatBecameUnreadable) {
    UserDefaults defaults("stuck");
    defaults.setInteger(1, "kept");
    ASSERT_TRUE(defaults.synchronize());
    userdefaults::waitUntilIdle();
    const std::string unreadable(kMaxPropertyListBytes + 1, ' ');
    {
        const HeldWriter held;
        defaults.setInteger(2, "pending");
        // Another process leaves a file this one cannot read before the write runs.
        ASSERT_TRUE(writeFileAtomically(suiteFile("stuck"), unreadable));
    }
    userdefaults::waitUntilIdle();
    EXPECT_TRUE(readTextFile(suiteFile("stuck")) == unreadable) << "the file was replaced";
    EXPECT_FALSE(defaults.synchronize());
    EXPECT_FALSE(defaults.setObject(3, "refused"));
    EXPECT_FALSE(log_.lines().empty());
}

TEST_F(UserDefaultsTest, ConcurrentChangesAndSynchronizeAgree) {
    // Four threads set keys of their own, synchronizing after every fifth.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            UserDefaults defaults("racing");
            for (int k = 0; k < 20; ++k) {
                defaults.setInteger(k, std::to_string(t) + "." + std::to_string(k));
                if (k % 5 == 4) {
                    EXPECT_TRUE(defaults.synchronize());
                }
                EXPECT_EQ(defaults.integerForKey(std::to_string(t) + ".0"), 0);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    UserDefaults defaults("racing");
    ASSERT_TRUE(defaults.synchronize());
    const auto stored = readPropertyListFile(suiteFile("racing"));
    ASSERT_TRUE(stored && stored->isDictionary());
    EXPECT_EQ(stored->asDictionary(), defaults.dictionaryRepresentation());
    EXPECT_EQ(stored->asDictionary().size(), std::size_t(4 * 20));
}

// The roles of the other process in the tests above; they run only when started by runChild().
class UserDefaultsChildProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* home = std::getenv(kChildHome);
        if (!home) GTEST_SKIP() << "runs only as a child process of UserDefaultsTest";
        setDataRoot(home);
    }
};

// Changes the suite while the process exits, after the writer's exit handler ran.
struct ChangeAtExit {
    ~ChangeAtExit() { UserDefaults("exiting").setBool(true, "atExit"); }
};

TEST_F(UserDefaultsChildProcess, ReadsRepliesAndExits) {
    // Built before the writer starts, so destroyed after its exit handler has run.
    static ChangeAtExit changeAtExit;
    UserDefaults child("child");
    const bool read = child.stringForKey("from") == "parent" && child.integerForKey("n") == 7;
    child.setObject("child", "reply");
    UserDefaults defaults("exiting");
    {
        const HeldWriter held;
        for (int i = 0; i < 200; ++i) {
            defaults.setInteger(i, "key" + std::to_string(i));
        }
    }
    std::exit(read ? 0 : 1);  // the writes are still pending
}

}  // namespace
}  // namespace platform
